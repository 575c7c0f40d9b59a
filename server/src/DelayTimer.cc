#include "DelayTimer.hh"

#include "Threads.hh"

namespace qx::quarn_server {

bool DelayTimer::Start() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopping_ = false;
  return startThread(thread_, [this] { Run(); });
}

void DelayTimer::Schedule(Clock::time_point when, std::function<void()> callback) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    due_.emplace(when, std::move(callback));
  }
  changed_.notify_all();
}

void DelayTimer::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    due_.clear();
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void DelayTimer::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    if (due_.empty()) {
      changed_.wait(lock);
      continue;
    }
    const Clock::time_point next = due_.begin()->first;
    if (Clock::now() < next) {
      changed_.wait_until(lock, next);
      continue;
    }
    std::function<void()> callback = std::move(due_.begin()->second);
    due_.erase(due_.begin());
    lock.unlock();
    callback();
    lock.lock();
  }
}

}  // namespace qx::quarn_server
