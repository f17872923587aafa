#include "app/win32/Win32EventLoop.h"

#include <algorithm>
#include <stdexcept>

namespace mx {
namespace {

constexpr UINT kRunEvent = WM_APP + 1;
constexpr wchar_t kClassName[] = L"Mx7410EventWindow";

DWORD MillisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<DWORD>(std::clamp<decltype(left)>(left, 0, INFINITE - 1));
}

}  // namespace

Win32EventLoop::Win32EventLoop() {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = &Win32EventLoop::WindowProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = kClassName;
  RegisterClassExW(&windowClass);  // fails harmlessly when a second loop registers it again
  messageWindow_ =
      CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, windowClass.hInstance, nullptr);
  if (messageWindow_ == nullptr) throw std::runtime_error("cannot create the event window");
  SetWindowLongPtrW(messageWindow_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

Win32EventLoop::~Win32EventLoop() { DestroyWindow(messageWindow_); }

void Win32EventLoop::Post(std::function<void()> event) {
  // Note: runs on any thread. One message per event keeps the posting order
  // among the window's other messages.
  {
    const std::lock_guard lock(mutex_);
    queue_.push_back(std::move(event));
  }
  PostMessageW(messageWindow_, kRunEvent, 0, 0);
}

void Win32EventLoop::RunOneEvent() {
  std::function<void()> event;
  {
    const std::lock_guard lock(mutex_);
    if (queue_.empty()) return;
    event = std::move(queue_.front());
    queue_.pop_front();
  }
  event();
}

LRESULT CALLBACK Win32EventLoop::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* loop = reinterpret_cast<Win32EventLoop*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (message == kRunEvent && loop != nullptr) {
    loop->RunOneEvent();
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

void Win32EventLoop::SetDialogWindow(HWND window, std::function<bool(const MSG&)> filter) {
  dialogWindow_ = window;
  filter_ = std::move(filter);
}

void Win32EventLoop::Dispatch(MSG& message) {
  if (filter_ && filter_(message)) return;
  if (dialogWindow_ != nullptr && IsWindow(dialogWindow_) && IsDialogMessageW(dialogWindow_, &message)) return;
  TranslateMessage(&message);
  DispatchMessageW(&message);
}

bool Win32EventLoop::PumpHeld() {
  bool handled = false;
  MSG message;
  while (PeekMessageW(&message, messageWindow_, 0, 0, PM_REMOVE) ||
         PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE | PM_QS_PAINT)) {
    handled = true;
    DispatchMessageW(&message);
  }
  return handled;
}

bool Win32EventLoop::PumpPending() {
  if (holds_ > 0) return PumpHeld();
  bool handled = false;
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    handled = true;
    if (message.message == WM_QUIT) {
      // Seen inside a nested wait: Run() ends once the waits have unwound.
      quitReceived_ = true;
      exitCode_ = static_cast<int>(message.wParam);
      break;
    }
    Dispatch(message);
  }
  return handled;
}

void Win32EventLoop::ProcessPendingEvents() { PumpPending(); }

void Win32EventLoop::WaitForEvents(Clock::time_point deadline) {
  for (;;) {
    if (PumpPending()) return;
    const DWORD left = MillisecondsUntil(deadline);
    if (left == 0) return;
    // MWMO_INPUTAVAILABLE: also wakes for messages already seen by an
    // earlier peek but not removed. While input is held it stays queued, so
    // the wait wakes only for new posts, sent messages and painting.
    if (holds_ > 0) {
      MsgWaitForMultipleObjectsEx(0, nullptr, left, QS_POSTMESSAGE | QS_SENDMESSAGE | QS_PAINT, 0);
    } else {
      MsgWaitForMultipleObjectsEx(0, nullptr, left, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
  }
}

int Win32EventLoop::Run() {
  while (!quitReceived_) {
    MSG message;
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == 0) {
      exitCode_ = static_cast<int>(message.wParam);
      break;
    }
    if (got == -1) break;
    Dispatch(message);
  }
  return exitCode_;
}

}  // namespace mx
