#pragma once

// Calls a function once, on a thread of its own, when a deadline passes,
// unless the timer is destroyed first. The function should only hand work to
// the event loop.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace mx::flash {

class DeadlineTimer {
 public:
  using Clock = std::chrono::steady_clock;

  DeadlineTimer(Clock::time_point deadline, std::function<void()> onDeadline)
      : thread_([this, deadline, onDeadline = std::move(onDeadline)] {
          std::unique_lock lock(mutex_);
          if (!wake_.wait_until(lock, deadline, [this] { return cancelled_; })) onDeadline();
        }) {}

  ~DeadlineTimer() {
    {
      std::lock_guard lock(mutex_);
      cancelled_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

  DeadlineTimer(const DeadlineTimer&) = delete;
  DeadlineTimer& operator=(const DeadlineTimer&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool cancelled_ = false;
  std::thread thread_;  // last: starts after the members it uses
};

}  // namespace mx::flash
