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

  // Owner thread only. While input is held (calls nest), handling events
  // runs only events given to Post(): the user's input (clicks, keys, a close
  // request) stays queued, in order, and runs once the last hold has ended.
  // A port's close holds input while its frames leave, so that no handler
  // runs while the window's state and the port disagree.
  virtual void HoldInput() = 0;
  virtual void ReleaseInput() = 0;

  // Handles events until `deadline`, sleeping in between.
  void RunUntil(Clock::time_point deadline);
};

// Holds `loop`'s input for its lifetime.
class InputHold {
 public:
  explicit InputHold(EventLoop& loop) : loop_(loop) { loop_.HoldInput(); }
  ~InputHold() { loop_.ReleaseInput(); }
  InputHold(const InputHold&) = delete;
  InputHold& operator=(const InputHold&) = delete;

 private:
  EventLoop& loop_;
};

// A plain event queue for front ends without a window toolkit: a
// mutex-guarded queue and a condition variable.
class EventQueue final : public EventLoop {
 public:
  void Post(std::function<void()> event) override;
  // Queues the user's input: it runs in order with posted events, but not
  // while input is held. Thread-safe.
  void PostInput(std::function<void()> input);
  void ProcessPendingEvents() override;
  void WaitForEvents(Clock::time_point deadline) override;
  void HoldInput() override { ++holds_; }
  void ReleaseInput() override { --holds_; }

  // Number of events (and inputs) queued and not yet run.
  std::size_t PendingCount() const;

 private:
  struct Entry {
    std::function<void()> run;
    bool input = false;
  };
  bool HasRunnable(bool withInput) const;  // mutex_ held
  // Runs the entries queued before the call, inputs only `withInput`; what
  // they post waits for the next round, so a handler that re-posts cannot
  // starve the caller.
  std::size_t RunQueued(bool withInput);

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Entry> queue_;
  int holds_ = 0;  // owner thread only
};

}  // namespace mx
