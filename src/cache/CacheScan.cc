#include "CacheScan.hh"

#include <sys/stat.h>

#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>
#include <qx/common/Util.hh>

#include "CacheDirectories.hh"
#include "CacheNames.hh"
#include "WorkCounters.hh"

namespace qx::quarn_tools::internal::cache {
namespace {

namespace fs = qx::common;

// Whether `path` is a directory of the cache: a directory, or a link of a
// trusted owner (CacheDirectories.hh) to one. Another user's link is not
// followed: it would make a lookup answer with a tree of that user's choice.
bool isCacheDirectory(const std::string &path) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0) return false;
  if (S_ISDIR(info.st_mode)) return true;
  if (!S_ISLNK(info.st_mode)) return false;
  if (!TrustedLinkOwner(info.st_uid)) {
    qxwarn << "Ignoring [" << path << "]: a symbolic link owned by another user (uid "
           << info.st_uid << ")\n";
    return false;
  }
  return fs::isDirectory(path);
}

// Whether a version directory holds a finished save. A save publishes a
// version only when it is whole, with a record of what it held beside it,
// so a version directory with a record is one. Without a record it is one
// except where an older library unpacked in place: a version directory
// still holding the downloaded archive is one whose save never finished. A
// model version also holds its model.config.
bool isFinished(const std::string &resource, const std::string &version,
                const std::string &versionName, const std::string &name, const char *marker) {
  if (marker != nullptr && !fs::exists(fs::joinPaths(version, marker))) return false;
  if (fs::exists(fs::joinPaths(resource, ManifestFileName(versionName)))) return true;
  return !fs::exists(fs::joinPaths(version, ArchiveFileName(qx::common::lowercase(name))));
}

// The walk, admitting owner directories and resource directories (by
// their lower-cased names) as `admitOwner` and `admitResource` say.
template <typename AdmitOwner, typename AdmitResource>
std::vector<Found> Scan(const std::string &serverDir, const std::string &kind, const char *marker,
                        AdmitOwner admitOwner, AdmitResource admitResource) {
  countCacheWalk();
  std::vector<Found> found;
  if (!isCacheDirectory(serverDir)) return found;
  const fs::DirIter end;
  for (fs::DirIter owner(serverDir); owner != end; ++owner) {
    const std::string kindDir = fs::joinPaths(*owner, kind);
    const std::string ownerName = qx::common::lowercase(fs::basename(*owner));
    if (!admitOwner(ownerName) || !isCacheDirectory(*owner) || !isCacheDirectory(kindDir))
      continue;
    for (fs::DirIter resource(kindDir); resource != end; ++resource) {
      if (!admitResource(ownerName, qx::common::lowercase(fs::basename(*resource))) ||
          !isCacheDirectory(*resource))
        continue;
      const std::string name = fs::basename(*resource);
      const std::string resourcePath = fs::absPath(*resource);
      for (fs::DirIter version(resourcePath); version != end; ++version) {
        const std::string versionName = fs::basename(*version);
        if (IsInternalName(versionName) || !isCacheDirectory(*version) ||
            !isFinished(resourcePath, *version, versionName, name, marker))
          continue;
        found.push_back({fs::basename(*owner), name, versionName, fs::absPath(*version)});
      }
    }
  }
  return found;
}

}  // namespace

std::vector<Found> ScanServer(const std::string &serverDir, const std::string &kind,
                              const char *marker, const Only &only) {
  return Scan(
      serverDir, kind, marker,
      [&only](const std::string &owner) { return only.owner.empty() || owner == only.owner; },
      [&only](const std::string &, const std::string &name) {
        return only.name.empty() || name == only.name;
      });
}

std::vector<Found> ScanServer(const std::string &serverDir, const std::string &kind,
                              const char *marker, const OnlyThese &only) {
  std::set<std::string> owners;
  for (const auto &[owner, name] : only) owners.insert(owner);
  return Scan(
      serverDir, kind, marker, [&owners](const std::string &owner) { return owners.count(owner) > 0; },
      [&only](const std::string &owner, const std::string &name) {
        return only.count({owner, name}) > 0;
      });
}

}  // namespace qx::quarn_tools::internal::cache
