#include "InterruptGuard.h"

namespace mx::flash {

InterruptGuard::InterruptGuard(std::chrono::milliseconds grace, std::function<void()> askToStop,
                               std::function<void()> endNow)
    : grace_(grace),
      askToStop_(std::move(askToStop)),
      endNow_(std::move(endNow)),
      watcher_([this](int count) { OnInterrupt(count); }) {}

InterruptGuard::~InterruptGuard() = default;

void InterruptGuard::OnInterrupt(int count) {
  if (count > 1) return endNow_();
  askToStop_();
  std::lock_guard lock(mutex_);
  if (!graceTimer_) graceTimer_ = std::make_unique<DeadlineTimer>(DeadlineTimer::Clock::now() + grace_, endNow_);
}

}  // namespace mx::flash
