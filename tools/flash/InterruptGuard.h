#pragma once

// What Ctrl-C and termination requests do to a run of the command line. The
// first asks the run to stop: it closes its port and ends as the window's
// actions end when their port goes away. If the process is still running
// `grace` later (its thread may be busy or blocked), or at a second request,
// `endNow` ends it at once. Either way the process answers within the grace.

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

#include "DeadlineTimer.h"
#include "Terminal.h"

namespace mx::flash {

class InterruptGuard {
 public:
  // Both callbacks run on a thread of their own: `askToStop` must only hand
  // work to the event loop; `endNow` must not return. It gets the exit
  // status the first request asked for.
  InterruptGuard(std::chrono::milliseconds grace, std::function<void()> askToStop,
                 std::function<void(int exitStatus)> endNow);
  // Stops watching and cancels a pending grace; no callback runs after it.
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

  // 130 after Ctrl-C, 143 after a termination request (the first one
  // counts), else `runStatus`: what a run that was asked to stop returns.
  int ExitStatus(int runStatus) const;

 private:
  // Note: runs on the interrupt watcher's thread.
  void OnInterrupt(int count, int exitStatus);

  const std::chrono::milliseconds grace_;
  const std::function<void()> askToStop_;
  const std::function<void(int)> endNow_;
  mutable std::mutex mutex_;
  int requestedStatus_ = 0;                    // the first request's exit status; 0: none yet
  std::unique_ptr<DeadlineTimer> graceTimer_;  // armed by the first request
  InterruptWatcher watcher_;                   // last: stops first
};

}  // namespace mx::flash
