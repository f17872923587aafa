#pragma once

// Tells of serial ports as they appear: an adapter plugged in, a simulated
// bootloader started. One implementation per platform: libudev's monitor and
// an inotify watch on the simulator's port folder (PortWatch_posix.cpp), a
// re-read of the system's port list (PortWatch_win.cpp). Ports present when
// the watch starts are not reported.

#include <functional>
#include <memory>
#include <string>

namespace mx::flash {

class PortWatch {
 public:
  // `onAppeared` gets the port's device path (or name, on Windows).
  // Note: it runs on the watch's own thread and must not block for long.
  using Callback = std::function<void(const std::string& port)>;

  // Starts watching; throws std::runtime_error when nothing can be watched.
  explicit PortWatch(Callback onAppeared);
  // Stops watching; `onAppeared` is not called after it returns.
  ~PortWatch();
  PortWatch(const PortWatch&) = delete;
  PortWatch& operator=(const PortWatch&) = delete;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace mx::flash
