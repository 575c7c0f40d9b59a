#include "CacheScan.hh"

#include <qx/common/Filesystem.hh>
#include <qx/common/Util.hh>

#include "CacheNames.hh"

namespace qx::quarn_tools::internal::cache {
namespace {

namespace fs = qx::common;

bool admits(const std::string &wanted, const std::string &directory) {
  return wanted.empty() || qx::common::lowercase(fs::basename(directory)) == wanted;
}

// Whether a version directory holds a finished save. A save publishes a
// version only when it is whole, so a version directory is one, except
// where an older library unpacked in place: a version directory still
// holding the downloaded archive is one whose save never finished. A model
// version also holds its model.config.
bool isFinished(const std::string &version, const std::string &name, const char *marker) {
  if (marker != nullptr && !fs::exists(fs::joinPaths(version, marker))) return false;
  return !fs::exists(fs::joinPaths(version, ArchiveFileName(qx::common::lowercase(name))));
}

}  // namespace

std::vector<Found> ScanServer(const std::string &serverDir, const std::string &kind,
                              const char *marker, const Only &only) {
  std::vector<Found> found;
  const fs::DirIter end;
  for (fs::DirIter owner(serverDir); owner != end; ++owner) {
    if (!admits(only.owner, *owner) || !fs::isDirectory(*owner)) continue;
    for (fs::DirIter resource(fs::joinPaths(*owner, kind)); resource != end; ++resource) {
      if (!admits(only.name, *resource) || !fs::isDirectory(*resource)) continue;
      const std::string name = fs::basename(*resource);
      for (fs::DirIter version(fs::absPath(*resource)); version != end; ++version) {
        const std::string versionName = fs::basename(*version);
        if (IsInternalName(versionName) || !fs::isDirectory(*version) ||
            !isFinished(*version, name, marker))
          continue;
        found.push_back({fs::basename(*owner), name, versionName, fs::absPath(*version)});
      }
    }
  }
  return found;
}

}  // namespace qx::quarn_tools::internal::cache
