#include "serial/EventLoop.h"

namespace mx {

void EventLoop::RunUntil(Clock::time_point deadline) {
  while (Clock::now() < deadline) WaitForEvents(deadline);
}

void EventQueue::Post(std::function<void()> event) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(event));
  }
  wake_.notify_one();
}

std::size_t EventQueue::PendingCount() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

std::size_t EventQueue::RunQueued() {
  // Events are taken one at a time: an event may itself handle pending events
  // (a nested wait), and it must then find the rest of the queue in order.
  std::size_t budget = PendingCount();
  std::size_t ran = 0;
  while (ran < budget) {
    std::function<void()> event;
    {
      std::lock_guard lock(mutex_);
      if (queue_.empty()) break;
      event = std::move(queue_.front());
      queue_.pop_front();
    }
    event();
    ++ran;
  }
  return ran;
}

void EventQueue::ProcessPendingEvents() { RunQueued(); }

void EventQueue::WaitForEvents(Clock::time_point deadline) {
  {
    std::unique_lock lock(mutex_);
    wake_.wait_until(lock, deadline, [this] { return !queue_.empty(); });
  }
  RunQueued();
}

}  // namespace mx
