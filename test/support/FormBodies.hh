/*
 * Multipart form bodies written by hand, for tests that send uploads over
 * raw sockets or with a client of their own, and the parts of one small,
 * valid model upload.
 */
#ifndef QX_QUARN_TOOLS_TEST_SUPPORT_FORMBODIES_HH_
#define QX_QUARN_TOOLS_TEST_SUPPORT_FORMBODIES_HH_

#include <string>
#include <vector>

namespace qx::test {

// One part of a multipart form; a file part has a file name.
struct FormField {
  std::string name;
  std::string content;
  std::string filename;
};

// The boundary MultipartBody uses, and the Content-Type that names it.
extern const char *const kFormBoundary;
std::string FormContentType();

// The body of a multipart form of `parts`, in order.
std::string MultipartBody(const std::vector<FormField> &parts);

// The model.config of the lamp below.
extern const char *const kLampModelConfig;

// The parts of a small, valid model upload: fields name (and owner, when
// not empty) and private "0", files model.config, model.sdf and
// meshes/lamp.dae.
std::vector<FormField> LampParts(const std::string &owner, const std::string &name);

}  // namespace qx::test

#endif  // QX_QUARN_TOOLS_TEST_SUPPORT_FORMBODIES_HH_
