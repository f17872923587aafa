#pragma once

#include <QEventLoop>
#include <QObject>

#include "serial/EventLoop.h"

namespace mx {

// The window's event loop as the core sees it. Posted events become queued
// calls on a QObject that lives on the GUI thread, so Qt runs them there in
// posting order, interleaved with the user's input. Create it on the GUI
// thread, after the QApplication.
class QtEventLoop final : public EventLoop {
 public:
  QtEventLoop() = default;
  QtEventLoop(const QtEventLoop&) = delete;
  QtEventLoop& operator=(const QtEventLoop&) = delete;

  // Thread-safe. Events still queued when the loop is destroyed are dropped.
  void Post(std::function<void()> event) override;
  void ProcessPendingEvents() override;
  // Sleeps in Qt's event dispatcher, woken by the next event of any kind or
  // by a timer at `deadline`.
  void WaitForEvents(Clock::time_point deadline) override;
  // While held, Qt keeps the window system's input events (mouse, keys, a
  // close request) queued; at the end of the last hold they are delivered
  // at the next round.
  void HoldInput() override { ++holds_; }
  void ReleaseInput() override;

 private:
  QEventLoop::ProcessEventsFlags Flags() const;
  void DeliverHeldInput();

  QObject receiver_;
  int holds_ = 0;
};

}  // namespace mx
