#include "records/LeaseRenewer.h"

#include <algorithm>

#include "records/RecordStore.h"

namespace mx::records {

LeaseRenewer::LeaseRenewer(std::mutex& mutex, std::chrono::milliseconds every, std::function<void()> renew)
    // A zero pause would renew without rest.
    : mutex_(mutex), every_(std::max(every, std::chrono::milliseconds(1))), renew_(std::move(renew)) {
  thread_ = std::thread([this] { RenewUntilStopped(); });
}

LeaseRenewer::~LeaseRenewer() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  stopWanted_.notify_all();
  thread_.join();
}

void LeaseRenewer::RenewUntilStopped() {
  std::unique_lock lock(mutex_);
  while (!stopWanted_.wait_for(lock, every_, [this] { return stopping_; })) {
    try {
      renew_();
    } catch (const RecordStoreError&) {
      // Busy or out of reach for now: the next renewal or call tries again.
    }
  }
}

}  // namespace mx::records
