#include "CachedAnswers.hh"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <qx/common/Filesystem.hh>

namespace qx::quarn_tools::internal {

namespace {

// How a parent directory is opened: only to look up names in it.
#ifdef O_PATH
constexpr int kOpenParent = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kOpenParent = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// More answers than this and the oldest are not worth a search: start over.
constexpr std::size_t kMaxAnswers = 100000;

long long Nanoseconds(const struct timespec &time) {
  return static_cast<long long>(time.tv_sec) * 1000000000LL + time.tv_nsec;
}

}  // namespace

bool CachedAnswers::Stamp::operator==(const Stamp &other) const {
  return device == other.device && inode == other.inode && modified == other.modified &&
         changed == other.changed;
}

CachedAnswers::Stamp CachedAnswers::StampOf(const struct stat &info) {
  Stamp stamp;
  stamp.device = static_cast<unsigned long long>(info.st_dev);
  stamp.inode = static_cast<unsigned long long>(info.st_ino);
  stamp.modified = Nanoseconds(info.st_mtim);
  stamp.changed = Nanoseconds(info.st_ctim);
  return stamp;
}

std::optional<CachedAnswers::Stamp> CachedAnswers::StampOf(const std::string &path) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0) return std::nullopt;
  return StampOf(info);
}

// Stamps of directories looked at one after the other, each relative to
// its parent, which is opened once (the models of a server share theirs):
// the long path is walked once rather than once per directory. As lstat of
// the whole path at that moment; lives for one lookup only.
class CachedAnswers::Directories {
 public:
  Directories() = default;
  Directories(const Directories &) = delete;
  Directories &operator=(const Directories &) = delete;
  ~Directories() {
    for (const auto &[path, fd] : opened_) {
      if (fd >= 0) ::close(fd);
    }
  }

  std::optional<Stamp> StampOf(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 == path.size())
      return CachedAnswers::StampOf(path);
    const std::string_view parent(path.data(), slash);
    if (last_ == nullptr || last_->first != parent) {
      auto found = opened_.find(std::string(parent));
      if (found == opened_.end()) {
        const std::string name(parent);
        found = opened_.emplace(name, ::open(name.c_str(), kOpenParent)).first;
      }
      last_ = &*found;
    }
    if (last_->second < 0) return CachedAnswers::StampOf(path);
    struct stat info;
    if (::fstatat(last_->second, path.c_str() + slash + 1, &info, AT_SYMLINK_NOFOLLOW) != 0)
      return std::nullopt;
    return CachedAnswers::StampOf(info);
  }

 private:
  std::unordered_map<std::string, int> opened_;
  const std::pair<const std::string, int> *last_ = nullptr;
};

std::vector<std::optional<DownloadOutcome>> CachedAnswers::Find(
    const std::vector<std::string_view> &keys) {
  std::vector<std::optional<DownloadOutcome>> answers(keys.size());
  Directories directories;
  std::string key;
  std::lock_guard<std::mutex> lock(mutex_);
  if (entries_.empty()) return answers;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    key.assign(keys[i]);
    const auto found = entries_.find(key);
    if (found == entries_.end()) continue;
    bool unchanged = true;
    for (const auto &[path, stamp] : found->second.directories) {
      const std::optional<Stamp> now = directories.StampOf(path);
      if (!now || !(*now == stamp)) {
        unchanged = false;
        break;
      }
    }
    if (unchanged)
      answers[i] = found->second.outcome;
    else
      entries_.erase(found);
  }
  return answers;
}

void CachedAnswers::Keep(const std::string &key, const DownloadOutcome &outcome) {
  if (outcome.result.Type() != FETCH_CACHED || outcome.path.empty()) return;
  // The version directory and the resource directory of the model and of
  // every model it needs, all of them cached.
  std::vector<const DownloadOutcome *> models = {&outcome};
  for (const DownloadOutcome &dependency : outcome.dependencies) {
    if (dependency.result.Type() != FETCH_CACHED || dependency.path.empty()) return;
    models.push_back(&dependency);
  }
  // A version directory is published, replaced and removed only by a
  // rename or removal in its resource directory, which changes that.
  std::vector<std::string> paths;
  for (const DownloadOutcome *model : models)
    paths.push_back(qx::common::parentPath(model->path));
  const long long trusted =
      std::chrono::duration_cast<std::chrono::nanoseconds>(
          std::chrono::system_clock::now().time_since_epoch())
          .count() -
      1000000000LL;
  Entry entry;
  entry.outcome = outcome;
  for (const std::string &path : paths) {
    const std::optional<Stamp> stamp = StampOf(path);
    if (!stamp || stamp->modified >= trusted || stamp->changed >= trusted) return;
    entry.directories.emplace_back(path, *stamp);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (entries_.size() >= kMaxAnswers) entries_.clear();
  entries_[key] = std::move(entry);
}

void CachedAnswers::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.clear();
}

}  // namespace qx::quarn_tools::internal
