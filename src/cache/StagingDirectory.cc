#include "StagingDirectory.hh"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <map>
#include <mutex>
#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>

#include "CacheDirectories.hh"
#include "FailureNotes.hh"

namespace qx::quarn_tools::internal::cache {
namespace {

// Scratch entries in which nothing changed for this long are stale whoever
// made them: their maker may live on another host, where we cannot ask
// whether it still runs.
constexpr std::int64_t kStaleSeconds = 24 * 60 * 60;

// How many names a staging directory is tried under before giving up.
constexpr int kCreateAttempts = 5;

// The scratch names this process uses now, with the staging directory of
// each (null for a trash name), so that an interrupt can remove them all.
// Guarded by gClaimsMutex.
std::mutex gClaimsMutex;
std::map<std::string, StagingDirectory *> &claims() {
  static auto *claimed = new std::map<std::string, StagingDirectory *>();
  return *claimed;
}

bool claimedHere(const std::string &name) {
  std::lock_guard<std::mutex> lock(gClaimsMutex);
  return claims().count(name) > 0;
}

bool processGone(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

// Whether the process that made the scratch entry `name` is gone.
bool makerGone(const ScratchOwner &owner, const std::string &name) {
  if (owner.host != HostName()) return false;
  // Our own id on an entry we did not make: a process before us had it
  // (process ids start again in each container).
  if (owner.pid == ::getpid()) return !claimedHere(name);
  return processGone(owner.pid);
}

// When the scratch directory last changed: its own time, or that of what it
// directly holds (a download writing its archive changes the archive only).
std::int64_t lastChange(FileSystem &fileSystem, const Directory &resource, const std::string &name,
                        const PathStatus &status) {
  std::int64_t newest = status.modified;
  std::unique_ptr<Directory> scratch;
  std::vector<std::string> names;
  if (!status.directory || fileSystem.OpenDirectoryAt(resource, name, scratch) != 0 ||
      ListDirectory(*scratch, names) != 0)
    return newest;
  for (const std::string &child : names) {
    PathStatus inner;
    if (fileSystem.StatusAt(*scratch, child, inner) == 0 && inner.modified > newest)
      newest = inner.modified;
  }
  return newest;
}

bool isStale(FileSystem &fileSystem, const Directory &resource, const std::string &name,
             const ScratchOwner &owner, const PathStatus &status) {
  if (makerGone(owner, name)) return true;
  const std::int64_t now = std::time(nullptr);
  return now - status.modified > kStaleSeconds &&
         now - lastChange(fileSystem, resource, name, status) > kStaleSeconds;
}

// Makes the directory `name` in `resource`, only its owner may enter it,
// and opens it; 0 or errno (EEXIST when the name is taken), with `refused`
// set when what was opened is not ours.
int makeOwnDirectory(FileSystem &fileSystem, const Directory &resource, const std::string &name,
                     std::unique_ptr<Directory> &made, PathStatus &status, std::string &refused) {
  int error = fileSystem.CreateDirectoryAt(resource, name, 0700);
  if (error == 0) error = fileSystem.OpenDirectoryAt(resource, name, made);
  if (error == 0) error = StatusOf(*made, status);
  if (error != 0) return error;
  // Another user of the cache may have put a directory of theirs in its
  // place between the two steps.
  if (status.owner != ::geteuid() || !status.directory) {
    refused = "Refusing [" + made->Path() + "]: it is not the directory this process made (owner uid " +
              std::to_string(status.owner) + ")";
    return EPERM;
  }
  // A default access list of the resource directory may have granted more.
  if ((status.mode & 077) != 0) error = fileSystem.SetMode(*made, status.mode & ~077u);
  return error;
}

}  // namespace

ClaimedScratch::ClaimedScratch(Scratch kind) : name_(NewScratchName(kind)) {
  std::lock_guard<std::mutex> lock(gClaimsMutex);
  claims()[name_] = nullptr;
}

ClaimedScratch::~ClaimedScratch() {
  std::lock_guard<std::mutex> lock(gClaimsMutex);
  claims().erase(name_);
}

void RemoveStaleScratch(FileSystem &fileSystem, const Directory &resource) {
  std::vector<std::string> names;
  if (ListDirectory(resource, names) != 0) return;
  const std::int64_t now = std::time(nullptr);
  for (const std::string &name : names) {
    const std::optional<ScratchOwner> owner = ParseScratchName(name);
    const bool part = IsPartFileName(name);
    if (!owner && !part) continue;
    PathStatus status;
    if (fileSystem.StatusAt(resource, name, status) != 0 || !status.exists) continue;
    // Part files beside the versions are what saves of older libraries
    // left when they died: they wrote their records there.
    if (part && (status.directory || now - status.modified <= kStaleSeconds)) continue;
    if (owner && !isStale(fileSystem, resource, name, *owner, status)) continue;
    if (fileSystem.RemoveAllAt(resource, name) == 0)
      qxdbg << "Removed stale [" << resource.Join(name) << "]\n";
  }
}

std::unique_ptr<StagingDirectory> StagingDirectory::Create(FileSystem &fileSystem,
                                                           const std::string &root,
                                                           const std::string &uniqueName,
                                                           std::string &error, Scratch kind) {
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    std::unique_ptr<Directory> resource =
        OpenCacheDirectory(fileSystem, root, uniqueName, true, error);
    if (!resource) return nullptr;
    if (attempt == 0) RemoveStaleScratch(fileSystem, *resource);
    auto name = std::make_unique<ClaimedScratch>(kind);
    std::unique_ptr<Directory> stage;
    PathStatus identity;
    std::string refused;
    const int made = makeOwnDirectory(fileSystem, *resource, name->Name(), stage, identity, refused);
    if (made == 0) {
      return std::unique_ptr<StagingDirectory>(new StagingDirectory(
          fileSystem, std::move(name), std::move(resource), std::move(stage), identity));
    }
    if (!refused.empty()) {
      error = refused;
      return nullptr;
    }
    // The name is taken (try another), or the resource directory went away
    // (make it again).
    error = "Unable to create directory [" + resource->Join(name->Name()) + "]: " + ErrorText(made);
    if (made != EEXIST && made != ENOENT) return nullptr;
  }
  return nullptr;
}

StagingDirectory::StagingDirectory(FileSystem &fileSystem, std::unique_ptr<ClaimedScratch> name,
                                   std::unique_ptr<Directory> resource,
                                   std::unique_ptr<Directory> stage, const PathStatus &identity)
    : fileSystem_(fileSystem),
      name_(std::move(name)),
      resource_(std::move(resource)),
      stage_(std::move(stage)),
      identity_(identity) {
  std::lock_guard<std::mutex> lock(gClaimsMutex);
  claims()[name_->Name()] = this;
}

void StagingDirectory::AbandonAll() {
  // Saves on other threads may still be writing: what they add while one
  // pass removes is taken by the next (and once a directory is gone, nothing
  // can be made in it).
  constexpr int kPasses = 3;
  // The saves that now fail were interrupted, whatever their steps say.
  NoteInterruption();
  std::lock_guard<std::mutex> lock(gClaimsMutex);
  for (int pass = 0; pass < kPasses; ++pass) {
    for (const auto &[name, staging] : claims()) {
      if (staging != nullptr) staging->Remove();
    }
  }
}

StagingDirectory::~StagingDirectory() {
  {
    std::lock_guard<std::mutex> lock(gClaimsMutex);
    claims()[name_->Name()] = nullptr;
  }
  const int error = Remove();
  if (error != 0) qxwarn << "Unable to remove [" << Path() << "]: " << ErrorText(error) << "\n";
}

int StagingDirectory::Remove() const {
  // Only the directory we made goes: something else renamed to its name
  // meanwhile stays.
  PathStatus status;
  if (fileSystem_.StatusAt(*resource_, name_->Name(), status) != 0 || !status.exists ||
      status.device != identity_.device || status.inode != identity_.inode)
    return 0;
  return fileSystem_.RemoveAllAt(*resource_, name_->Name());
}

std::string StagingDirectory::Join(const std::string &name) const { return stage_->Join(name); }

}  // namespace qx::quarn_tools::internal::cache
