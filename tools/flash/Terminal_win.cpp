// Terminal and console control events on Windows. The system runs the
// console control handler on a thread of its own; the handler only passes
// the request on.

#include <io.h>
#include <windows.h>
// after windows.h, which defines its types
#include <shellapi.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "Terminal.h"
#include "update/WidePath_win.h"

namespace mx::flash {

namespace {

constexpr int kDefaultColumns = 80;

std::mutex watcherMutex;
InterruptWatcher::Impl* activeWatcher = nullptr;  // guarded by watcherMutex

BOOL WINAPI ConsoleControlHandler(DWORD event);

}  // namespace

struct InterruptWatcher::Impl {
  InterruptWatcher::Callback onInterrupt;
  int count = 0;  // guarded by watcherMutex
};

namespace {

// Note: runs on the system's console control thread.
BOOL WINAPI ConsoleControlHandler(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
  std::lock_guard lock(watcherMutex);
  if (activeWatcher == nullptr) return FALSE;
  // Ctrl-C answers as SIGINT would on POSIX; Ctrl-Break and closing the console as SIGTERM.
  activeWatcher->onInterrupt(++activeWatcher->count, event == CTRL_C_EVENT ? 130 : 143);
  return TRUE;
}

}  // namespace

bool IsTerminal(Stream stream) { return _isatty(_fileno(stream == Stream::Output ? stdout : stderr)) != 0; }

int TerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return kDefaultColumns;
  const int columns = info.srWindow.Right - info.srWindow.Left + 1;
  return columns > 0 ? columns : kDefaultColumns;
}

std::vector<std::string> ProgramArguments(int, char**) {
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  std::vector<std::string> arguments;
  for (int i = 1; wide != nullptr && i < count; ++i) arguments.push_back(Utf8FromWide(wide[i]));
  ::LocalFree(wide);
  return arguments;
}

void PrepareProcessSignals() {}

InterruptWatcher::InterruptWatcher(Callback onInterrupt) : impl_(std::make_unique<Impl>()) {
  impl_->onInterrupt = std::move(onInterrupt);
  {
    std::lock_guard lock(watcherMutex);
    activeWatcher = impl_.get();
  }
  SetConsoleCtrlHandler(ConsoleControlHandler, TRUE);
}

InterruptWatcher::~InterruptWatcher() {
  SetConsoleCtrlHandler(ConsoleControlHandler, FALSE);
  std::lock_guard lock(watcherMutex);
  activeWatcher = nullptr;
}

}  // namespace mx::flash
