// Ports appearing on Windows: the system's port list read again every
// second, on a thread of its own that waits on a condition in between.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "PortWatch.h"
#include "app/HostSystem.h"

namespace mx::flash {

namespace {
constexpr std::chrono::seconds kListInterval{1};
}  // namespace

struct PortWatch::Impl {
  Callback onAppeared;
  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
  std::thread thread;

  // Note: runs on the watch's thread.
  void Watch() {
    std::vector<std::string> known = ListSerialPortNames();
    std::unique_lock lock(mutex);
    while (!wake.wait_for(lock, kListInterval, [this] { return stopping; })) {
      lock.unlock();
      std::vector<std::string> listed = ListSerialPortNames();
      for (const std::string& port : listed) {
        if (std::find(known.begin(), known.end(), port) == known.end()) onAppeared(port);
      }
      known = std::move(listed);
      lock.lock();
    }
  }
};

PortWatch::PortWatch(Callback onAppeared) : impl_(std::make_unique<Impl>()) {
  impl_->onAppeared = std::move(onAppeared);
  impl_->thread = std::thread([impl = impl_.get()] { impl->Watch(); });
}

PortWatch::~PortWatch() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->stopping = true;
  }
  impl_->wake.notify_all();
  impl_->thread.join();
}

}  // namespace mx::flash
