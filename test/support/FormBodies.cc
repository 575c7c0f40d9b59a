#include "support/FormBodies.hh"

namespace qx::test {

const char *const kFormBoundary = "qx-test-boundary-7f3a";

const char *const kLampModelConfig =
    "<?xml version=\"1.0\"?><model><name>lamp</name><sdf version=\"1.9\">model.sdf</sdf>"
    "</model>";

std::string FormContentType() {
  return std::string("multipart/form-data; boundary=") + kFormBoundary;
}

std::string MultipartBody(const std::vector<FormField> &parts) {
  std::string body;
  for (const FormField &part : parts) {
    body += std::string("--") + kFormBoundary + "\r\n";
    body += "Content-Disposition: form-data; name=\"" + part.name + "\"";
    if (!part.filename.empty()) body += "; filename=\"" + part.filename + "\"";
    body += "\r\n\r\n" + part.content + "\r\n";
  }
  return body + "--" + kFormBoundary + "--\r\n";
}

std::vector<FormField> LampParts(const std::string &owner, const std::string &name) {
  std::vector<FormField> parts = {{"name", name, ""},
                                  {"private", "0", ""},
                                  {"file", kLampModelConfig, "model.config"},
                                  {"file", "<sdf version='1.9'/>", "model.sdf"},
                                  {"file", "mesh bytes", "meshes/lamp.dae"}};
  if (!owner.empty()) parts.push_back({"owner", owner, ""});
  return parts;
}

}  // namespace qx::test
