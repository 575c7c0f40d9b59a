/*
 * Models written into a served repository by tests that need something
 * bigger than the example: many files of content that does not compress.
 */
#ifndef QX_QUARN_TOOLS_TEST_SUPPORT_GENERATEDMODELS_HH_
#define QX_QUARN_TOOLS_TEST_SUPPORT_GENERATEDMODELS_HH_

#include <cstddef>
#include <map>
#include <string>

namespace qx::test {

// Writes version `version` of model owner/name below `root` (a served
// repository): model.config, model.sdf and `files` files of `fileSize`
// pseudo-random bytes each, spread over a few directories. Returns the
// version directory.
std::string WriteModel(const std::string &root, const std::string &owner, const std::string &name,
                       int version, int files, std::size_t fileSize);

// The files of a version directory as a cache should hold them: every
// file but the main SDF file, which the cache rewrites.
std::map<std::string, std::string> ContentWithoutSdf(const std::string &directory);

}  // namespace qx::test

#endif  // QX_QUARN_TOOLS_TEST_SUPPORT_GENERATEDMODELS_HH_
