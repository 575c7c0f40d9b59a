// Serving in the foreground until the process is told to stop.
#include <condition_variable>
#include <mutex>
#include <ostream>

#include <qx/common/SignalHandler.hh>

#include "qx/quarn_server/RepositoryServer.hh"

namespace qx::quarn_server {

bool RepositoryServer::ServeUntilSignalled(std::ostream &out) {
  std::mutex mutex;
  std::condition_variable signalled;
  bool stop = false;
  // Installed before the server starts, so a signal that arrives early is
  // not lost.
  qx::common::SignalHandler signals;
  signals.AddCallback([&](int) {
    CancelPrebuild();  // a long prebuild ends at the next version
    std::lock_guard<std::mutex> lock(mutex);
    stop = true;
    signalled.notify_all();
  });

  if (!Start()) return false;
  out << Url() << std::endl;
  {
    std::unique_lock<std::mutex> lock(mutex);
    signalled.wait(lock, [&] { return stop; });
  }
  Stop();
  return true;
}

}  // namespace qx::quarn_server
