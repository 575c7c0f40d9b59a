/*
 * Starting the server's own threads without an exception leaving the
 * library when the system has no thread to give.
 */
#ifndef QX_QUARN_SERVER_THREADS_HH_
#define QX_QUARN_SERVER_THREADS_HH_

#include <functional>
#include <system_error>
#include <thread>
#include <utility>

namespace qx::quarn_server {

// Starts `thread` running `body`; false when it cannot start.
inline bool startThread(std::thread &thread, std::function<void()> body) {
  try {
    thread = std::thread(std::move(body));
  } catch (const std::system_error &) {
    return false;
  }
  return true;
}

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_THREADS_HH_
