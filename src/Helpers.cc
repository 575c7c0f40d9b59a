#include "qx/quarn_tools/Helpers.hh"

#include <qx/common/Filesystem.hh>
#include <qx/common/Util.hh>

namespace qx::quarn_tools {

std::string sanitizeAuthority(const std::string &authority) {
  return qx::common::replaceAll(qx::common::replaceAll(authority, ":", "%3A"), "@",
                                "%40");
}

std::string uriToPath(const qx::common::URI &uri) {
  std::string path = uri.Path().Str("/");
  if (uri.Path().IsAbsolute() && !path.empty()) path.erase(0, 1);
  qx::common::changeFromUnixPath(path);

  const auto authority = uri.Authority();
  if (!authority) return path;

  std::string text = authority->Str();
  if (text.compare(0, 2, "//") == 0) text.erase(0, 2);
  text = sanitizeAuthority(text);

  if (text.empty()) return path;
  if (path.empty()) return text;
  return qx::common::joinPaths(text, path);
}

}  // namespace qx::quarn_tools
