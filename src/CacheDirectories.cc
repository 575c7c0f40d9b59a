#include "CacheDirectories.hh"

#include <unistd.h>

#include <cerrno>
#include <qx/common/Filesystem.hh>
#include <qx/common/Util.hh>

namespace qx::quarn_tools::internal::cache {

bool TrustedLinkOwner(uid_t owner) { return owner == 0 || owner == ::geteuid(); }

bool CheckDirectory(FileSystem &fileSystem, const std::string &path, std::string &error) {
  PathStatus status;
  const int statError = fileSystem.Status(path, status);
  if (statError != 0) {
    error = "Unable to read [" + path + "]: " + ErrorText(statError);
    return false;
  }
  if (!status.exists || status.directory) return true;
  if (status.link && !TrustedLinkOwner(status.owner)) {
    error = "Refusing to follow [" + path + "]: a symbolic link owned by another user (uid " +
            std::to_string(status.owner) + ")";
    return false;
  }
  if (status.link && fileSystem.IsDirectoryFollowingLinks(path)) return true;
  error = "[" + path + "] is not a directory";
  return false;
}

bool MakeDirectories(FileSystem &fileSystem, const std::string &root, const std::string &relative,
                     std::string &error) {
  const int rootError = CreateDirectories(fileSystem, root);
  if (rootError != 0) {
    error = "Unable to create directory [" + root + "]: " + ErrorText(rootError);
    return false;
  }
  std::string path = root;
  for (const std::string &part : qx::common::split(relative, "/")) {
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      error = "Refusing the cache path [" + relative + "]: it climbs out of [" + root + "]";
      return false;
    }
    path = qx::common::joinPaths(path, part);
    if (!CheckDirectory(fileSystem, path, error)) return false;
    if (fileSystem.IsDirectoryFollowingLinks(path)) continue;
    const int made = fileSystem.CreateDirectory(path);
    // Another process may have made it meanwhile: look again.
    if (made == EEXIST) {
      if (!CheckDirectory(fileSystem, path, error)) return false;
      if (fileSystem.IsDirectoryFollowingLinks(path)) continue;
    }
    if (made != 0) {
      error = "Unable to create directory [" + path + "]: " + ErrorText(made);
      return false;
    }
  }
  return true;
}

void RemoveUnusedResource(FileSystem &fileSystem, const std::string &root,
                          const std::string &uniqueName) {
  std::string directory = ResourceDirectory(root, uniqueName);
  for (qx::common::DirIter it(directory), end; it != end; ++it) {
    if (qx::common::basename(*it) != LockFileName()) return;
  }
  fileSystem.RemoveAll(qx::common::joinPaths(directory, LockFileName()));
  // The resource, kind and owner levels; the server directory stays.
  for (int level = 0; level < 3 && directory.size() > root.size(); ++level) {
    if (fileSystem.RemoveEmptyDirectory(directory) != 0) return;
    directory = qx::common::parentPath(directory);
  }
}

}  // namespace qx::quarn_tools::internal::cache
