// A thread that runs callbacks at their time: the HTTP engine releases
// replies that asked for a delay through it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace qx::quarn_server {

// Runs callbacks at their time on a thread of its own.
class DelayTimer {
 public:
  DelayTimer() = default;
  ~DelayTimer() { Stop(); }
  DelayTimer(const DelayTimer &) = delete;
  DelayTimer &operator=(const DelayTimer &) = delete;

  using Clock = std::chrono::steady_clock;

  // False when the thread cannot be started.
  bool Start();
  // Runs `callback` on the timer's thread at `when` (or soon after).
  void Schedule(Clock::time_point when, std::function<void()> callback);
  // Joins the thread; callbacks not yet due are dropped.
  void Stop();

 private:
  void Run();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::multimap<Clock::time_point, std::function<void()>> due_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace qx::quarn_server
