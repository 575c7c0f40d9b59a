#include "WorkerPool.hh"

#include <system_error>

#include <qx/common/Console.hh>

namespace qx::quarn_server {

WorkerPool::WorkerPool(std::size_t threads, std::size_t queueLimit)
    : queueLimit_(queueLimit == 0 ? 1 : queueLimit) {
  for (std::size_t i = 0; i < (threads == 0 ? 1 : threads); ++i) {
    try {
      threads_.emplace_back([this] { Work(); });
    } catch (const std::system_error &e) {
      qxwarn << "Started " << threads_.size() << " of " << threads
             << " server threads: " << e.what();
      break;
    }
  }
}

WorkerPool::~WorkerPool() { shutdown(); }

void WorkerPool::enqueue(std::function<void()> task) {
  if (threads_.empty()) {
    task();
    return;
  }
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return tasks_.size() < queueLimit_ || shuttingDown_; });
    tasks_.push_back(std::move(task));
  }
  changed_.notify_all();
}

void WorkerPool::shutdown() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    shuttingDown_ = true;
  }
  changed_.notify_all();
  for (std::thread &thread : threads_)
    if (thread.joinable()) thread.join();
}

void WorkerPool::Work() {
  while (true) {
    std::function<void()> task;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return !tasks_.empty() || shuttingDown_; });
      if (tasks_.empty()) return;  // shutting down with nothing left
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    changed_.notify_all();  // room in the queue
    task();
  }
}

}  // namespace qx::quarn_server
