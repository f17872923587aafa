#pragma once

// What the command line needs of the host's terminal and signals. One
// implementation per platform (Terminal_posix.cpp, Terminal_win.cpp).

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace mx::flash {

enum class Stream { Output, Error };

// True when the stream is an interactive terminal.
bool IsTerminal(Stream stream);

// The width of the terminal behind standard error; 80 when unknown.
int TerminalColumns();

// Makes the console ready for the program's output; call once, early in
// main. On Windows: UTF-8 output (every text is UTF-8) and virtual-terminal
// processing of control sequences where the console has them, both put back
// when the program exits, or earlier by RestoreConsole. Nothing on POSIX.
void PrepareConsole();

// Puts back what PrepareConsole changed, for an exit that skips the exit
// handlers (std::_Exit); later calls do nothing. Any thread.
void RestoreConsole();

// True when standard error takes control sequences ("\x1b[K"): on POSIX
// always; on Windows unless it is a console without virtual-terminal
// processing (before Windows 10), where lines are overwritten plainly.
bool TerminalTakesControlSequences();

// The program's arguments after its name, in UTF-8. On Windows `argv` holds
// them in the ANSI code page, which cannot hold every file name; the wide
// command line can.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// Call first in main, before any thread exists: the interrupt signals are
// then received only by InterruptWatcher's thread (POSIX), and a closed
// output pipe fails writes instead of ending the program mid-update.
void PrepareProcessSignals();

// Watches for Ctrl-C and termination requests on a thread of its own (or
// the system's handler thread) and calls `onInterrupt` there with the number
// of requests so far and the exit status the request asks for (130 after
// Ctrl-C, 143 after a termination request). The callback must only hand
// work to the event loop.
class InterruptWatcher {
 public:
  using Callback = std::function<void(int count, int exitStatus)>;
  explicit InterruptWatcher(Callback onInterrupt);
  ~InterruptWatcher();  // stops watching; the callback is not called after it returns
  InterruptWatcher(const InterruptWatcher&) = delete;
  InterruptWatcher& operator=(const InterruptWatcher&) = delete;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace mx::flash
