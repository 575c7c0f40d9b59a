/*
 * An advisory lock on one resource of the cache (flock on its lock file),
 * so that processes and threads about to download the same resource take
 * turns and the later ones can use what the first published instead of
 * downloading it again. Only an optimisation: saves are correct without it
 * (on network file systems that ignore it, say), a process that dies
 * releases it with its descriptors, and a waiter that runs out of patience
 * goes ahead unlocked. Internal; one thread per object.
 */
#ifndef QX_QUARN_TOOLS_SRC_RESOURCELOCK_HH_
#define QX_QUARN_TOOLS_SRC_RESOURCELOCK_HH_

#include <chrono>
#include <functional>
#include <string>

#include "FileSystem.hh"

namespace qx::quarn_tools::internal::cache {

class ResourceLock {
 public:
  // Locks the open resource directory `resource` (its lock file is made
  // there, never through a link), waiting at most `patience` for another
  // holder; `beforeWaiting`, when given, runs once before the wait begins
  // (to note what the cache held then), and not at all when nobody else
  // holds the lock.
  ResourceLock(const Directory &resource, std::chrono::milliseconds patience,
               const std::function<void()> &beforeWaiting = nullptr);
  ~ResourceLock();
  ResourceLock(const ResourceLock &) = delete;
  ResourceLock &operator=(const ResourceLock &) = delete;

  // Whether the lock is held, and whether another holder made us wait.
  bool Held() const { return held_; }
  bool Waited() const { return waited_; }

 private:
  int fd_ = -1;
  bool held_ = false;
  bool waited_ = false;
};

}  // namespace qx::quarn_tools::internal::cache

#endif  // QX_QUARN_TOOLS_SRC_RESOURCELOCK_HH_
