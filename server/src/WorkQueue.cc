#include "WorkQueue.hh"

#include <algorithm>

#include "Threads.hh"

namespace qx::quarn_server {

WorkQueue::~WorkQueue() { Stop(); }

bool WorkQueue::Start(std::size_t threads) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!threads_.empty()) return true;
  stopping_ = false;
  for (std::size_t i = 0; i < std::max<std::size_t>(threads, 1); ++i) {
    std::thread thread;
    if (!startThread(thread, [this] { Work(); })) break;
    threads_.push_back(std::move(thread));
  }
  stopping_ = threads_.empty();
  return !threads_.empty();
}

bool WorkQueue::Run(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return false;
    jobs_.push_back(std::move(job));
  }
  queued_.notify_one();
  return true;
}

void WorkQueue::Stop() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    jobs_.clear();
    threads.swap(threads_);
  }
  queued_.notify_all();
  for (std::thread &thread : threads) thread.join();
}

void WorkQueue::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    queued_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    if (jobs_.empty()) return;
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    job();
    lock.lock();
  }
}

}  // namespace qx::quarn_server
