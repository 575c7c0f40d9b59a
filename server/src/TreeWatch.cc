#include "TreeWatch.hh"

#include <dirent.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include <qx/common/Console.hh>

namespace fs = std::filesystem;

namespace qx::quarn_server {
namespace {

// Every change to a directory's entries, to a file's content or to
// anything's attributes (times included).
const std::uint32_t kEvents = IN_CREATE | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF |
                              IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_ATTRIB |
                              IN_CLOSE_WRITE;

}  // namespace

TreeWatch::TreeWatch(fs::path root, std::string skipped)
    : root_(std::move(root)), skipped_(std::move(skipped)) {}

TreeWatch::~TreeWatch() {
  if (fd_ >= 0) ::close(fd_);
}

bool TreeWatch::Start() {
  std::lock_guard<std::mutex> lock(mutex_);
  fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) {
    Disable(std::strerror(errno));
    return false;
  }
  watching_ = true;
  if (!AddTree(root_)) return false;
  if (watches_.empty()) Disable("it cannot be watched");
  return watching_;
}

void TreeWatch::Disable(const std::string &why) {
  if (!watching_ && fd_ < 0) return;
  qxwarn << "Not watching [" << root_.string() << "] for changes (" << why
         << "): every listing is computed afresh";
  watching_ = false;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  watches_.clear();
}

bool TreeWatch::AddTree(const fs::path &dir) {
  std::set<std::pair<dev_t, ino_t>> seen;
  std::vector<fs::path> pending{dir};
  while (!pending.empty() && watching_) {
    const fs::path current = std::move(pending.back());
    pending.pop_back();
    struct stat info {};
    if (::lstat(current.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) continue;
    // A bind mount may show a directory again below itself.
    if (!seen.insert({info.st_dev, info.st_ino}).second) continue;
    const int wd = ::inotify_add_watch(fd_, current.c_str(), kEvents | IN_ONLYDIR | IN_DONT_FOLLOW);
    if (wd < 0) {
      if (errno == ENOSPC || errno == ENOMEM) {
        Disable("the system allows no more inotify watches: fs.inotify.max_user_watches");
        return false;
      }
      continue;  // gone meanwhile, or not ours to read
    }
    watches_[wd] = current;
    DIR *listing = ::opendir(current.c_str());
    if (listing == nullptr) continue;
    while (const dirent *entry = ::readdir(listing)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      if (current == root_ && name == skipped_) continue;
      if (entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN) pending.push_back(current / name);
    }
    ::closedir(listing);
  }
  return watching_;
}

void TreeWatch::Drain() {
  alignas(inotify_event) char buffer[64 * 1024];
  std::vector<fs::path> created;
  bool changed = false;
  bool overflow = false;
  while (true) {
    const ssize_t got = ::read(fd_, buffer, sizeof(buffer));
    if (got <= 0) break;
    changed = true;
    for (ssize_t at = 0; at < got;) {
      const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->mask & IN_Q_OVERFLOW) overflow = true;
      if (event->mask & IN_IGNORED) {
        watches_.erase(event->wd);
        continue;
      }
      const auto watched = watches_.find(event->wd);
      if (watched == watches_.end() || event->len == 0) continue;
      const std::string name = event->name;
      if ((event->mask & IN_ISDIR) && (event->mask & (IN_CREATE | IN_MOVED_TO)) &&
          !(watched->second == root_ && name == skipped_)) {
        created.push_back(watched->second / name);
      }
    }
  }
  if (!changed) return;
  // A directory that came (or events that were lost) is watched from now
  // on; what changed in it before that is counted by the move on below.
  for (const fs::path &dir : created)
    if (!AddTree(dir)) return;
  if (overflow && !AddTree(root_)) return;
  ++generation_;
}

std::uint64_t TreeWatch::Generation() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!watching_) return ++generation_;
  Drain();
  return watching_ ? generation_ : ++generation_;
}

}  // namespace qx::quarn_server
