// Terminal and console control events on Windows. The system runs the
// console control handler on a thread of its own; the handler only passes
// the request on. The console is shared with the shell that started the
// program: what the program changes in it is put back at exit.

#include <io.h>
#include <windows.h>
// after windows.h, which defines its types
#include <shellapi.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "Terminal.h"
#include "update/WidePath_win.h"

namespace mx::flash {

namespace {

constexpr int kDefaultColumns = 80;

// What PrepareConsole changed, to be put back: the console's output code
// page and the modes of the consoles behind standard output and error.
struct ConsoleSettings {
  UINT outputCodePage = 0;  // 0: not changed
  struct Mode {
    HANDLE console = nullptr;  // null: not changed
    DWORD mode = 0;
  } modes[2];
  bool errorTakesControlSequences = true;
};

ConsoleSettings savedConsole;
std::atomic<bool> consoleChanged{false};

// Turns on virtual-terminal processing; false when the console cannot
// (before Windows 10). Leaves a handle that is no console alone. Output and
// error on one console: the second finds it on, and only the first mode is kept.
bool EnableControlSequences(HANDLE handle, ConsoleSettings::Mode& saved) {
  DWORD mode = 0;
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) return true;
  if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
  if (!SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) return false;
  saved = {handle, mode};
  return true;
}

void RestoreConsoleAtExit() { RestoreConsole(); }

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

void PrepareConsole() {
  const UINT codePage = GetConsoleOutputCP();  // 0 without a console
  if (codePage != 0 && codePage != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) savedConsole.outputCodePage = codePage;
  EnableControlSequences(GetStdHandle(STD_OUTPUT_HANDLE), savedConsole.modes[0]);
  savedConsole.errorTakesControlSequences =
      EnableControlSequences(GetStdHandle(STD_ERROR_HANDLE), savedConsole.modes[1]);
  consoleChanged = true;
  std::atexit(RestoreConsoleAtExit);
}

void RestoreConsole() {
  if (!consoleChanged.exchange(false)) return;
  for (const ConsoleSettings::Mode& saved : savedConsole.modes) {
    if (saved.console != nullptr) SetConsoleMode(saved.console, saved.mode);
  }
  if (savedConsole.outputCodePage != 0) SetConsoleOutputCP(savedConsole.outputCodePage);
}

bool TerminalTakesControlSequences() { return savedConsole.errorTakesControlSequences; }

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
