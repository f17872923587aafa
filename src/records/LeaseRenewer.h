#pragma once

// The thread that keeps a store's lease fresh while the store lives.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace mx::records {

// Calls renew() every `every`, holding `mutex` (the store's, which guards
// the connection renew uses), from a thread of its own. Destruction wakes
// it at once and waits for a renewal under way. A renewal that throws
// RecordStoreError is tried again at the next turn.
class LeaseRenewer {
 public:
  LeaseRenewer(std::mutex& mutex, std::chrono::milliseconds every, std::function<void()> renew);
  ~LeaseRenewer();
  LeaseRenewer(const LeaseRenewer&) = delete;
  LeaseRenewer& operator=(const LeaseRenewer&) = delete;

 private:
  void RenewUntilStopped();

  std::mutex& mutex_;
  std::chrono::milliseconds every_;
  std::function<void()> renew_;
  std::condition_variable stopWanted_;
  bool stopping_ = false;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace mx::records
