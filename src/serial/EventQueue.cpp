#include <algorithm>

#include "serial/EventLoop.h"

namespace mx {

void EventLoop::RunUntil(Clock::time_point deadline) {
  while (Clock::now() < deadline) WaitForEvents(deadline);
}

void EventQueue::Post(std::function<void()> event) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back({std::move(event), false});
  }
  wake_.notify_one();
}

void EventQueue::PostInput(std::function<void()> input) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back({std::move(input), true});
  }
  wake_.notify_one();
}

std::size_t EventQueue::PendingCount() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

namespace {

// While input is held the user's input waits.
auto RunsNow(bool withInput) {
  return [withInput](const auto& entry) { return withInput || !entry.input; };
}

}  // namespace

bool EventQueue::HasRunnable(bool withInput) const {
  return std::any_of(queue_.begin(), queue_.end(), RunsNow(withInput));
}

std::size_t EventQueue::RunQueued(bool withInput) {
  // Entries are taken one at a time: an event may itself handle pending
  // events (a nested wait), and it must then find the rest of the queue in
  // order.
  std::size_t budget = 0;
  {
    std::lock_guard lock(mutex_);
    budget = static_cast<std::size_t>(std::count_if(queue_.begin(), queue_.end(), RunsNow(withInput)));
  }
  std::size_t ran = 0;
  while (ran < budget) {
    std::function<void()> event;
    {
      std::lock_guard lock(mutex_);
      const auto next = std::find_if(queue_.begin(), queue_.end(), RunsNow(withInput));
      if (next == queue_.end()) break;
      event = std::move(next->run);
      queue_.erase(next);
    }
    event();
    ++ran;
  }
  return ran;
}

void EventQueue::ProcessPendingEvents() { RunQueued(holds_ == 0); }

void EventQueue::WaitForEvents(Clock::time_point deadline) {
  const bool withInput = holds_ == 0;
  {
    std::unique_lock lock(mutex_);
    wake_.wait_until(lock, deadline, [this, withInput] { return HasRunnable(withInput); });
  }
  RunQueued(withInput);
}

}  // namespace mx
