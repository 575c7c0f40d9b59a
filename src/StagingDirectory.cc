#include "StagingDirectory.hh"

#include <signal.h>

#include <cerrno>
#include <ctime>
#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>

#include "CacheDirectories.hh"

namespace qx::quarn_tools::internal::cache {
namespace {

// Scratch entries older than this are stale whoever made them: their maker
// may live on another host, where we cannot ask whether it still runs.
constexpr std::int64_t kStaleSeconds = 24 * 60 * 60;

bool processGone(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

bool isStale(const ScratchOwner &owner, const PathStatus &status) {
  if (std::time(nullptr) - status.modified > kStaleSeconds) return true;
  return owner.host == HostName() && processGone(owner.pid);
}

}  // namespace

void RemoveStaleScratch(FileSystem &fileSystem, const std::string &resourceDirectory) {
  for (qx::common::DirIter it(resourceDirectory), end; it != end; ++it) {
    const std::optional<ScratchOwner> owner = ParseScratchName(qx::common::basename(*it));
    if (!owner) continue;
    PathStatus status;
    if (fileSystem.Status(*it, status) != 0 || !status.exists || !isStale(*owner, status)) continue;
    if (fileSystem.RemoveAll(*it) == 0) qxdbg << "Removed stale [" << *it << "]\n";
  }
}

std::unique_ptr<StagingDirectory> StagingDirectory::Create(FileSystem &fileSystem,
                                                           const std::string &root,
                                                           const std::string &uniqueName,
                                                           std::string &error, Scratch kind) {
  if (!MakeDirectories(fileSystem, root, uniqueName, error)) return nullptr;
  const std::string resource = cache::ResourceDirectory(root, uniqueName);
  RemoveStaleScratch(fileSystem, resource);
  const std::string path = qx::common::joinPaths(resource, NewScratchName(kind));
  const int made = fileSystem.CreateDirectory(path);
  if (made != 0) {
    error = "Unable to create directory [" + path + "]: " + ErrorText(made);
    return nullptr;
  }
  return std::unique_ptr<StagingDirectory>(new StagingDirectory(fileSystem, resource, path));
}

StagingDirectory::StagingDirectory(FileSystem &fileSystem, std::string resource, std::string path)
    : fileSystem_(fileSystem), resource_(std::move(resource)), path_(std::move(path)) {}

StagingDirectory::~StagingDirectory() {
  const int error = fileSystem_.RemoveAll(path_);
  if (error != 0) qxwarn << "Unable to remove [" << path_ << "]: " << ErrorText(error) << "\n";
}

std::string StagingDirectory::Join(const std::string &name) const {
  return qx::common::joinPaths(path_, name);
}

}  // namespace qx::quarn_tools::internal::cache
