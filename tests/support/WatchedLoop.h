#pragma once

// The owner's event queue, telling a test when a wait holds the user's input
// back (a port's close letting its frames leave): the moment a click made
// then would be queued behind it.

#include <functional>
#include <utility>

#include "serial/EventLoop.h"

namespace mx::test {

class InputHoldingLoop final : public EventLoop {
 public:
  // Runs once, at the next wait while input is held, before it waits.
  std::function<void()> onHoldingWait;

  void Post(std::function<void()> event) override { queue_.Post(std::move(event)); }
  // A click or key of the user's, queued as a window queues it.
  void PostInput(std::function<void()> input) { queue_.PostInput(std::move(input)); }
  void ProcessPendingEvents() override { queue_.ProcessPendingEvents(); }
  void WaitForEvents(Clock::time_point deadline) override {
    if (holds_ > 0 && onHoldingWait) std::exchange(onHoldingWait, nullptr)();
    queue_.WaitForEvents(deadline);
  }
  void HoldInput() override {
    ++holds_;
    queue_.HoldInput();
  }
  void ReleaseInput() override {
    --holds_;
    queue_.ReleaseInput();
  }

 private:
  EventQueue queue_;
  int holds_ = 0;
};

}  // namespace mx::test
