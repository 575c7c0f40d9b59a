/*
 * A fixed number of threads that run jobs in the order they were queued:
 * where the server does work that may block for long (building an
 * archive, carrying out a write) without holding up the threads that read
 * and send. Thread-safe.
 */
#ifndef QX_QUARN_SERVER_WORKQUEUE_HH_
#define QX_QUARN_SERVER_WORKQUEUE_HH_

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace qx::quarn_server {

class WorkQueue {
 public:
  WorkQueue() = default;
  // Stops.
  ~WorkQueue();
  WorkQueue(const WorkQueue &) = delete;
  WorkQueue &operator=(const WorkQueue &) = delete;

  // Starts `threads` threads (at least 1); false when none could start.
  bool Start(std::size_t threads);
  // Queues `job`; false (the job is dropped) when the queue is stopped.
  bool Run(std::function<void()> job);
  // Drops the jobs not begun yet, waits for those running and joins the
  // threads. Idempotent.
  void Stop();

 private:
  void Work();

  std::mutex mutex_;
  std::condition_variable queued_;
  std::deque<std::function<void()>> jobs_;  // guarded by mutex_
  bool stopping_ = true;                    // guarded by mutex_
  std::vector<std::thread> threads_;
};

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_WORKQUEUE_HH_
