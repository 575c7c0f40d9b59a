/*
 * Tells whether anything below a directory changed: inotify watches on
 * every directory of the tree (those that appear later are watched as they
 * are seen), and a generation number that moves on with every change. The
 * changes are read when the generation is asked for, so a change made
 * before that is always counted. What was computed from the tree may be
 * kept while the generation stays (AnswerCache.hh). Where the system cannot
 * watch (no inotify, or more directories than it allows watches), the
 * generation moves on at every look, so that nothing is ever kept.
 * Thread-safe.
 */
#ifndef QX_QUARN_SERVER_TREEWATCH_HH_
#define QX_QUARN_SERVER_TREEWATCH_HH_

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <unordered_map>

namespace qx::quarn_server {

class TreeWatch {
 public:
  // Watches `root`, except its entry `skipped` (a work directory whose
  // changes change no answer), when given.
  TreeWatch(std::filesystem::path root, std::string skipped);
  ~TreeWatch();
  TreeWatch(const TreeWatch &) = delete;
  TreeWatch &operator=(const TreeWatch &) = delete;

  // Watches the tree; false (with a warning line) when it cannot, and then
  // Generation never repeats.
  bool Start();

  // The generation now. Two looks that give the same number saw no change
  // between them (of those the system reports: changes made on another
  // machine to a network file system go unseen).
  std::uint64_t Generation();

 private:
  // Reads the changes queued since the last look; under mutex_.
  void Drain();
  // Adds watches on `dir` and every directory below it (symbolic links
  // not followed); false when the system allows no more watches.
  bool AddTree(const std::filesystem::path &dir);
  void Disable(const std::string &why);

  const std::filesystem::path root_;
  const std::string skipped_;
  std::mutex mutex_;
  int fd_ = -1;                 // guarded by mutex_
  bool watching_ = false;       // guarded by mutex_
  std::uint64_t generation_ = 1;  // guarded by mutex_
  // The directory of each watch; guarded by mutex_.
  std::unordered_map<int, std::filesystem::path> watches_;
};

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_TREEWATCH_HH_
