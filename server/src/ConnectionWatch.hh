/*
 * Deadlines and minimum rates of the server's connections, kept by one
 * thread that looks at every connection a few times a second: a request's
 * header must arrive whole within a time limit from its first byte (from
 * the moment the connection opened, for the first request), and a body
 * being received or an answer being sent must keep a minimum rate over
 * each window of time. A connection that fails either is shut down, and
 * its owner (the HTTP engine) then closes it. Progress is read from the
 * kernel (TCP_INFO: bytes received, bytes the client acknowledged), so a
 * slow client costs a look, never a thread. The engine tells the phase of
 * each connection; idle kept connections are left to the engine's own
 * idle time-out, and work of the server's own (building an answer) is
 * never timed here. Thread-safe.
 */
#ifndef QX_QUARN_SERVER_CONNECTIONWATCH_HH_
#define QX_QUARN_SERVER_CONNECTIONWATCH_HH_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace qx::quarn_server {

class ConnectionWatch {
 public:
  using Clock = std::chrono::steady_clock;

  struct Limits {
    // From a request's first byte until its header is complete.
    std::chrono::milliseconds headerTimeout{10000};
    // Bytes per second a body or an answer must move on average over each
    // window (0: no minimum).
    std::uint64_t minimumRate = 1024;
    std::chrono::milliseconds rateWindow{30000};
  };

  enum class Phase {
    kHeader,   // a request's header is arriving
    kIdle,     // a kept connection waits for its next request
    kBody,     // a request's body is arriving
    kWorking,  // the server makes the answer (not timed)
    kSending,  // the answer is being sent
  };

  class Entry;

  explicit ConnectionWatch(const Limits &limits);
  // Stops the thread.
  ~ConnectionWatch();
  ConnectionWatch(const ConnectionWatch &) = delete;
  ConnectionWatch &operator=(const ConnectionWatch &) = delete;

  // Starts the thread; false when it cannot be started.
  bool Start();
  // Stops and joins the thread. Idempotent.
  void Stop();

  // A connection opened on socket `fd`, in kHeader. The entry stays valid
  // until Remove, which must come before the socket is closed.
  Entry *Add(int fd);
  void Remove(Entry *entry);
  // The connection entered `phase`.
  static void Enter(Entry *entry, Phase phase);

  // How many connections were shut down for a deadline or a rate, since
  // the watch was made.
  std::size_t ShutDown() const;

 private:
  void Run();
  // Looks at every connection once.
  void Look(Clock::time_point now);

  const Limits limits_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::set<Entry *> entries_;  // owned; guarded by mutex_
  std::size_t shutDown_ = 0;   // guarded by mutex_
  std::thread thread_;
};

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_CONNECTIONWATCH_HH_
