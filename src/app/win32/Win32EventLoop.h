#pragma once

// The core's event loop on Win32 messages. Events posted from the port's
// threads reach a message-only window with PostMessage and run on the
// window's thread in posting order; a wait sleeps in
// MsgWaitForMultipleObjectsEx until a message or its deadline, then handles
// every pending message, so that the form's nested waits keep the window
// alive. Nothing spins.

#include <windows.h>

#include <deque>
#include <functional>
#include <mutex>

#include "serial/EventLoop.h"

namespace mx {

class Win32EventLoop final : public EventLoop {
 public:
  Win32EventLoop();
  ~Win32EventLoop() override;
  Win32EventLoop(const Win32EventLoop&) = delete;
  Win32EventLoop& operator=(const Win32EventLoop&) = delete;

  void Post(std::function<void()> event) override;
  void ProcessPendingEvents() override;
  void WaitForEvents(Clock::time_point deadline) override;
  // While held, only the event window's messages and painting are taken
  // from the queue; the user's input stays in it, in order, for later.
  void HoldInput() override { ++holds_; }
  void ReleaseInput() override { --holds_; }

  // Handles messages until WM_QUIT; returns its exit code.
  int Run();

  // Keyboard messages for this window and its children go through the
  // dialog manager (Tab, arrows); `filter` sees each message first and
  // returns true for one it handled itself.
  void SetDialogWindow(HWND window, std::function<bool(const MSG&)> filter);

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  // Handles every message pending now; true when there was one.
  bool PumpPending();
  // The same while input is held.
  bool PumpHeld();
  void Dispatch(MSG& message);
  void RunOneEvent();

  HWND messageWindow_ = nullptr;
  HWND dialogWindow_ = nullptr;
  std::function<bool(const MSG&)> filter_;
  bool quitReceived_ = false;
  int holds_ = 0;
  int exitCode_ = 0;
  std::mutex mutex_;
  std::deque<std::function<void()>> queue_;
};

}  // namespace mx
