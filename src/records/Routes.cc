#include "Routes.hh"

#include <algorithm>
#include <cctype>

#include <qx/common/Filesystem.hh>
#include <qx/common/URI.hh>
#include <qx/common/Util.hh>

namespace qx::quarn_tools::internal::routes {

std::string Resource(const std::string &owner, const std::string &kind, const std::string &name) {
  return (qx::common::URIPath() / owner / kind / name).Str("/");
}

std::string ServerOrOwner(const std::string &owner, const std::string &kind) {
  return owner.empty() ? kind : Listing(owner, kind, "");
}

std::string Listing(const std::string &owner, const std::string &kind, const std::string &name) {
  qx::common::URIPath path = qx::common::URIPath() / owner / kind;
  if (!name.empty()) path /= name;
  return path.Str("/");
}

std::string Archive(const std::string &owner, const std::string &kind, const std::string &name,
                    const std::string &version) {
  return (qx::common::URIPath() / owner / kind / name / version / (name + ".zip")).Str("/");
}

std::string Collection(const std::string &owner, const std::string &name, const std::string &kind) {
  return qx::common::joinPaths(qx::common::joinPaths(owner, kCollectionsKind),
                               qx::common::joinPaths(name, kind));
}

bool NamesFixedVersion(const std::string &route) {
  const std::vector<std::string> segments = qx::common::split(route, "/");
  if (segments.size() != 5 || (segments[1] != kModelsKind && segments[1] != kWorldsKind))
    return false;
  const std::string &version = segments[3];
  return !version.empty() &&
         std::all_of(version.begin(), version.end(),
                     [](unsigned char c) { return std::isdigit(c) != 0; }) &&
         segments[4] == segments[2] + ".zip";
}

bool IsPagedListing(const std::string &route) {
  const std::size_t slash = route.find_last_of("/\\");
  const std::string last = slash == std::string::npos ? route : route.substr(slash + 1);
  return last == kModelsKind || last == kWorldsKind;
}

}  // namespace qx::quarn_tools::internal::routes
