#include "InterruptGuard.h"

namespace mx::flash {

InterruptGuard::InterruptGuard(std::chrono::milliseconds grace, std::function<void()> askToStop,
                               std::function<void(int exitStatus)> endNow)
    : grace_(grace),
      askToStop_(std::move(askToStop)),
      endNow_(std::move(endNow)),
      watcher_([this](int count, int exitStatus) { OnInterrupt(count, exitStatus); }) {}

InterruptGuard::~InterruptGuard() = default;

int InterruptGuard::ExitStatus(int runStatus) const {
  std::lock_guard lock(mutex_);
  return requestedStatus_ != 0 ? requestedStatus_ : runStatus;
}

void InterruptGuard::OnInterrupt(int count, int exitStatus) {
  int status = 0;
  {
    std::lock_guard lock(mutex_);
    if (requestedStatus_ == 0) requestedStatus_ = exitStatus;
    status = requestedStatus_;
  }
  if (count > 1) return endNow_(status);
  askToStop_();
  std::lock_guard lock(mutex_);
  if (!graceTimer_) {
    graceTimer_ =
        std::make_unique<DeadlineTimer>(DeadlineTimer::Clock::now() + grace_, [this, status] { endNow_(status); });
  }
}

}  // namespace mx::flash
