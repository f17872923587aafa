// Terminal and signals on POSIX: isatty, the window size, and a thread that
// takes SIGINT and SIGTERM with sigwait, so no work runs in a signal handler.

#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <thread>

#include "Terminal.h"

namespace mx::flash {

namespace {

constexpr int kDefaultColumns = 80;
// Sent by the watcher's owner to wake the watcher when it is to stop.
constexpr int kWakeSignal = SIGUSR1;

sigset_t WatchedSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, kWakeSignal);
  return set;
}

}  // namespace

bool IsTerminal(Stream stream) { return ::isatty(stream == Stream::Output ? STDOUT_FILENO : STDERR_FILENO) == 1; }

int TerminalColumns() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return kDefaultColumns;
  return size.ws_col;
}

// A POSIX terminal takes UTF-8 and control sequences as it is.
void PrepareConsole() {}

void RestoreConsole() {}

bool TerminalTakesControlSequences() { return true; }

std::vector<std::string> ProgramArguments(int argc, char** argv) { return {argv + 1, argv + argc}; }

void PrepareProcessSignals() {
  const sigset_t set = WatchedSignals();
  // Threads started later inherit the mask; only the watcher takes them.
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

struct InterruptWatcher::Impl {
  Callback onInterrupt;
  std::atomic<bool> stopping{false};
  std::thread thread;

  // Note: runs on the watcher thread.
  void Watch() {
    const sigset_t set = WatchedSignals();
    int count = 0;
    for (;;) {
      int signal = 0;
      if (::sigwait(&set, &signal) != 0) continue;
      if (stopping) return;
      if (signal == kWakeSignal) continue;
      onInterrupt(++count, 128 + signal);  // as a shell reports a process its signal ended
    }
  }
};

InterruptWatcher::InterruptWatcher(Callback onInterrupt) : impl_(std::make_unique<Impl>()) {
  impl_->onInterrupt = std::move(onInterrupt);
  impl_->thread = std::thread([impl = impl_.get()] { impl->Watch(); });
}

InterruptWatcher::~InterruptWatcher() {
  impl_->stopping = true;
  ::pthread_kill(impl_->thread.native_handle(), kWakeSignal);
  impl_->thread.join();
}

}  // namespace mx::flash
