#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

namespace mx {

using Clock = std::chrono::steady_clock;

// The moment `wait` from now on the monotonic clock. Every wait that comes as
// a number of seconds (a reply time-out, a pause) becomes a deadline here.
inline Clock::time_point DeadlineAfter(std::chrono::duration<double> wait) {
  if (!(wait.count() > 0)) return Clock::now();  // also for NaN
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(wait);
}

// The owner thread's event loop, as the core sees it. Worker threads hand
// work to the owner thread through Post(); the owner thread runs it, in
// posting order, whenever it handles its events. Each front end implements
// this: the Qt window with its own event loop, the command-line tool and the
// tests with EventQueue below.
class EventLoop {
 public:
  virtual ~EventLoop() = default;

  // Queues `event` to run on the owner thread. Thread-safe; never blocks on
  // the owner thread and never runs `event` inline.
  virtual void Post(std::function<void()> event) = 0;

  // Owner thread only: runs every event that is pending now (and the user's
  // input, for a window), then returns. Does not wait.
  virtual void ProcessPendingEvents() = 0;

  // Owner thread only: blocks until at least one event has been handled or
  // `deadline` has passed, whichever comes first. Never spins: the thread
  // sleeps in between.
  virtual void WaitForEvents(Clock::time_point deadline) = 0;

  // Handles events until `deadline`, sleeping in between.
  void RunUntil(Clock::time_point deadline);
};

// A plain event queue for front ends without a window toolkit: a
// mutex-guarded queue and a condition variable.
class EventQueue final : public EventLoop {
 public:
  void Post(std::function<void()> event) override;
  void ProcessPendingEvents() override;
  void WaitForEvents(Clock::time_point deadline) override;

  // Number of events queued and not yet run.
  std::size_t PendingCount() const;

 private:
  // Runs the events queued before the call; events they post wait for the
  // next round, so a handler that re-posts cannot starve the caller.
  std::size_t RunQueued();

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
};

}  // namespace mx
