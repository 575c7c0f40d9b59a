/*
 * The server's workers: a fixed number of threads that take accepted
 * connections from a bounded queue. While every worker is busy a connection
 * waits in the queue; while the queue is full the listener waits for room
 * before it accepts another, so further clients wait in the system's
 * backlog. No connection is ever dropped for want of a worker. Thread-safe.
 */
#ifndef QX_QUARN_SERVER_WORKERPOOL_HH_
#define QX_QUARN_SERVER_WORKERPOOL_HH_

#include <httplib.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace qx::quarn_server {

class WorkerPool : public httplib::TaskQueue {
 public:
  // `threads` and `queueLimit` of 0 count as 1.
  WorkerPool(std::size_t threads, std::size_t queueLimit);
  ~WorkerPool() override;
  WorkerPool(const WorkerPool &) = delete;
  WorkerPool &operator=(const WorkerPool &) = delete;

  // Queues `task`, waiting while the queue is full. Without any worker
  // (none could be started) the task runs on the calling thread.
  void enqueue(std::function<void()> task) override;
  // Runs what is queued, then joins every worker. Idempotent.
  void shutdown() override;

 private:
  void Work();

  const std::size_t queueLimit_;
  std::mutex mutex_;
  std::condition_variable changed_;
  // Guarded by mutex_.
  std::deque<std::function<void()>> tasks_;
  bool shuttingDown_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_WORKERPOOL_HH_
