/*
 * The server's threads and the connections that wait for them. The
 * listener hands every accepted connection over at once (Admit); a fixed
 * number of threads take them in the order they came and serve each to its
 * end. A connection that has waited too long for a thread (all of them are
 * busy, with slow or stalled clients perhaps) is answered by a thread of
 * the pool's own with 503 and a Retry-After, and closed gently (what the
 * client still sends is read and dropped for a moment, so that the answer
 * is not lost to a reset). While the queue is full the listener waits for
 * room before it accepts more, so further clients wait in the system's
 * backlog. No connection is ever dropped without an answer. Thread-safe.
 */
#ifndef QX_QUARN_SERVER_CONNECTIONPOOL_HH_
#define QX_QUARN_SERVER_CONNECTIONPOOL_HH_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace qx::quarn_server {

class ConnectionPool {
 public:
  using Clock = std::chrono::steady_clock;

  struct Settings {
    // Threads that serve connections, and connections that may wait for
    // one (each at least 1).
    std::size_t threads = 64;
    std::size_t queueLimit = 1024;
    // How long a connection may wait for a thread before it is answered
    // 503; zero: as long as it takes (for TLS, which the 503 cannot speak).
    std::chrono::milliseconds queueTimeout{10000};
    // The Retry-After of that answer, in seconds.
    int retryAfterSeconds = 5;
  };
  // Serves one connection to its end; the pool closes it afterwards.
  using Serve = std::function<void(int fd)>;

  ConnectionPool(const Settings &settings, Serve serve);
  // Shuts down and joins.
  ~ConnectionPool();
  ConnectionPool(const ConnectionPool &) = delete;
  ConnectionPool &operator=(const ConnectionPool &) = delete;

  // Takes the accepted connection `fd` over, waiting while the queue is
  // full. After Shutdown it closes `fd` at once.
  void Admit(int fd);
  // Shuts every connection being served down (so that their reads and
  // writes end at once), closes those waiting and joins every thread.
  // Idempotent; callable from any thread.
  void Shutdown();

 private:
  struct Waiting {
    int fd;
    Clock::time_point since;
  };
  struct Lingering {
    int fd;
    Clock::time_point until;
  };

  void Work();
  // Answers connections that waited too long, and closes them gently.
  void Watch();
  // The connections waiting longer than the queue time-out.
  std::vector<int> TakeOverdue();
  // Sends the 503 on `fd` and starts closing it.
  void Refuse(int fd);
  // Reads what the lingering connections send and closes those that are
  // done or whose time is up; waits a little for them.
  void Linger();
  void CloseLingering();

  const Settings settings_;
  const Serve serve_;
  std::mutex mutex_;
  std::condition_variable work_;  // a connection waits, or shutting down
  std::condition_variable room_;  // the queue has room, or shutting down
  // Guarded by mutex_.
  std::deque<Waiting> queue_;
  std::set<int> serving_;
  bool shuttingDown_ = false;
  Clock::time_point lastWarning_;
  // The watcher's own.
  std::vector<Lingering> lingering_;
  std::mutex joinMutex_;
  std::vector<std::thread> threads_;
  std::thread watcher_;
};

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_CONNECTIONPOOL_HH_
