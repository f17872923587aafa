#pragma once

// Runs a program as a child process with its standard output and error
// captured (standard error optionally on a pseudo-terminal, to look like an
// interactive terminal), and reports its exit status and CPU time.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace mx::test {

struct ChildResult {
  int exitStatus = -1;  // the status passed to exit; -1 when ended by a signal or killed
  std::string out;      // standard output
  std::string err;      // standard error (what the terminal got, when it was one)
  std::chrono::duration<double> wall{0};
  std::chrono::duration<double> cpu{0};  // user + system time of the child
  bool killed = false;                   // did not end in time
};

struct ChildLaunch {
  std::vector<std::string> args;           // args[0] is the program's path
  std::map<std::string, std::string> env;  // added to (or replacing in) the test's environment
  bool stderrIsTerminal = false;           // standard error on a pseudo-terminal
};

class ChildProcess {
 public:
  explicit ChildProcess(const ChildLaunch& launch) : start_(std::chrono::steady_clock::now()) {
    int outPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    outRead_ = outPipe[0];
    int errWrite = -1;
    std::string terminalPath;
    if (launch.stderrIsTerminal) {
      errRead_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
      if (errRead_ < 0 || ::grantpt(errRead_) != 0 || ::unlockpt(errRead_) != 0) throw std::runtime_error("no pty");
      terminalPath = ::ptsname(errRead_);
      // Held open here too: a master without an open slave reads as hung up.
      terminalHold_ = ::open(terminalPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    } else {
      int errPipe[2];
      if (::pipe2(errPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
      errRead_ = errPipe[0];
      errWrite = errPipe[1];
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    if (launch.stderrIsTerminal) {
      posix_spawn_file_actions_addopen(&actions, 2, terminalPath.c_str(), O_RDWR | O_NOCTTY, 0);
    } else {
      posix_spawn_file_actions_adddup2(&actions, errWrite, 2);
    }

    // The child gets a default signal mask and dispositions, whatever the test runner set.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> environment = Environment(launch.env);
    std::vector<char*> argv = Pointers(launch.args);
    std::vector<char*> envp = Pointers(environment);
    const int error = ::posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(outPipe[1]);
    if (errWrite >= 0) ::close(errWrite);
    if (error != 0) {
      Close();
      throw std::runtime_error("cannot start " + launch.args.front());
    }
  }

  ~ChildProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    Close();
  }

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return pid_; }
  const std::string& OutputSoFar() const { return result_.out; }

  // Reads the child's output until standard output holds `text` or
  // `timeout` passes; true when it appeared.
  bool WaitForOutput(std::string_view text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (result_.out.find(text) == std::string::npos) {
      if (!ReadSome(deadline)) return result_.out.find(text) != std::string::npos;
    }
    return true;
  }

  // Reads everything until the child closes its output, then reaps it. A
  // child that takes longer than `timeout` is killed.
  ChildResult Finish(std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const auto streamsOpen = [this] { return outRead_ >= 0 || (terminalHold_ < 0 && errRead_ >= 0); };
    while (streamsOpen()) {
      if (!ReadSome(deadline)) break;
    }
    if (streamsOpen()) {
      result_.killed = true;
      ::kill(pid_, SIGKILL);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid_, &status, 0, &usage);
    pid_ = -1;
    result_.wall = std::chrono::steady_clock::now() - start_;
    result_.cpu = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    result_.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    // What the child wrote to its terminal is all in the master's buffer now.
    while (terminalHold_ >= 0 && errRead_ >= 0 && ReadSome(std::chrono::steady_clock::now() + kTerminalDrain)) {
    }
    Close();
    return result_;
  }

 private:
  static std::chrono::duration<double> Seconds(const timeval& time) {
    return std::chrono::duration<double>(static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6);
  }

  static std::vector<std::string> Environment(const std::map<std::string, std::string>& overrides) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      const std::string text = *entry;
      if (overrides.count(text.substr(0, text.find('='))) == 0) environment.push_back(text);
    }
    for (const auto& [name, value] : overrides) environment.push_back(name + "=" + value);
    return environment;
  }

  static std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
  }
  static std::vector<char*> Pointers(const std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (const std::string& text : texts) pointers.push_back(const_cast<char*>(text.c_str()));
    pointers.push_back(nullptr);
    return pointers;
  }

  // Waits for output on either stream and appends it; false at the deadline.
  bool ReadSome(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || (outRead_ < 0 && errRead_ < 0)) return false;
    pollfd fds[2] = {{outRead_, POLLIN, 0}, {errRead_, POLLIN, 0}};
    const int ready = ::poll(fds, 2, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) return true;
    if (ready <= 0) return false;
    Drain(fds[0], outRead_, result_.out);
    Drain(fds[1], errRead_, result_.err);
    return true;
  }

  // A pseudo-terminal's master reads EIO once the child has closed the slave.
  static void Drain(const pollfd& polled, int& fd, std::string& into) {
    if (fd < 0 || polled.revents == 0) return;
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      into.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      ::close(fd);
      fd = -1;
    }
  }

  void Close() {
    for (int* fd : {&outRead_, &errRead_, &terminalHold_}) {
      if (*fd >= 0) ::close(*fd);
      *fd = -1;
    }
  }

  static constexpr std::chrono::milliseconds kTerminalDrain{50};

  std::chrono::steady_clock::time_point start_;
  pid_t pid_ = -1;
  int outRead_ = -1;
  int errRead_ = -1;
  int terminalHold_ = -1;  // the terminal's slave side, when standard error is one
  ChildResult result_;
};

inline ChildResult RunChild(const ChildLaunch& launch, std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
  return ChildProcess(launch).Finish(timeout);
}

}  // namespace mx::test
