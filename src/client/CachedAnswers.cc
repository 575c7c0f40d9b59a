#include "CachedAnswers.hh"

#include <sys/stat.h>

#include <chrono>
#include <qx/common/Filesystem.hh>

namespace qx::quarn_tools::internal {

namespace {

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

std::optional<CachedAnswers::Stamp> CachedAnswers::StampOf(const std::string &path) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0) return std::nullopt;
  Stamp stamp;
  stamp.device = static_cast<unsigned long long>(info.st_dev);
  stamp.inode = static_cast<unsigned long long>(info.st_ino);
  stamp.modified = Nanoseconds(info.st_mtim);
  stamp.changed = Nanoseconds(info.st_ctim);
  return stamp;
}

std::optional<DownloadOutcome> CachedAnswers::Find(const std::string &key) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = entries_.find(key);
  if (found == entries_.end()) return std::nullopt;
  for (const auto &[path, stamp] : found->second.directories) {
    const std::optional<Stamp> now = StampOf(path);
    if (!now || !(*now == stamp)) {
      entries_.erase(found);
      return std::nullopt;
    }
  }
  return found->second.outcome;
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
