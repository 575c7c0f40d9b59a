#include "ResourceLock.hh"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <qx/common/Console.hh>
#include <thread>

#include "CacheNames.hh"

namespace qx::quarn_tools::internal::cache {
namespace {

constexpr std::chrono::milliseconds kPoll(20);

}  // namespace

ResourceLock::ResourceLock(const Directory &resource, std::chrono::milliseconds patience,
                           const std::function<void()> &beforeWaiting) {
  fd_ = ::openat(resource.Descriptor(), LockFileName().c_str(),
                 O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd_ < 0) return;
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) return;
    if (std::chrono::steady_clock::now() >= deadline) {
      qxdbg << "Going ahead without the lock of [" << resource.Path() << "]\n";
      return;
    }
    if (!waited_ && beforeWaiting) beforeWaiting();
    waited_ = true;
    std::this_thread::sleep_for(kPoll);
  }
  held_ = true;
}

ResourceLock::~ResourceLock() {
  if (fd_ < 0) return;
  if (held_) ::flock(fd_, LOCK_UN);
  ::close(fd_);
}

}  // namespace qx::quarn_tools::internal::cache
