// mx7410-sim: serves a simulated Mx7410 bootloader on a pseudo-terminal until
// SIGINT, SIGTERM or SIGHUP (or an end frame, with --exit-after-end).

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <exception>
#include <string>
#include <vector>

#include "sim/SimCommandLine.h"
#include "sim/SimulatedBootloader.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitMismatch = 1;
constexpr int kExitError = 2;

// The signals the program waits for. SIGUSR1 is its own note that an end
// frame has arrived. Blocked in every thread and taken with sigwait.
sigset_t WaitedSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaddset(&set, signal);
  return set;
}

timespec ToTimespec(std::chrono::nanoseconds time) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(time);
  return {static_cast<time_t>(seconds.count()), static_cast<long>((time - seconds).count())};
}

// After an end frame: keep serving a little longer, unless told to stop.
void Linger(const sigset_t& signals) {
  const auto deadline = std::chrono::steady_clock::now() + mx::sim::kLingerAfterEnd;
  for (;;) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::nanoseconds::zero()) return;
    const timespec timeout = ToTimespec(left);
    const int signal = sigtimedwait(&signals, nullptr, &timeout);
    if (signal < 0 && errno == EINTR) continue;
    if (signal != SIGUSR1) return;  // a stop signal, or the time is up
  }
}

void WaitForExit(const sigset_t& signals, bool exitAfterEnd) {
  for (;;) {
    int signal = 0;
    if (sigwait(&signals, &signal) != 0) return;
    if (signal != SIGUSR1) return;
    if (exitAfterEnd) {
      Linger(signals);
      return;
    }
  }
}

int WriteDumps(const mx::sim::SimulatedBootloader& sim, const mx::sim::CommandLine& line) {
  int status = kExitOk;
  auto attempt = [&](const std::string& path, auto write) {
    if (path.empty()) return;
    try {
      write(path);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "mx7410-sim: %s\n", e.what());
      status = kExitError;
    }
  };
  attempt(line.dumpHex, [&](const std::string& p) { sim.WriteHex(p); });
  attempt(line.dumpBinary, [&](const std::string& p) { sim.WriteBinary(p); });
  return status;
}

int Verify(const mx::sim::SimulatedBootloader& sim, const std::string& path) {
  if (path.empty()) return kExitOk;
  std::string why;
  if (sim.MatchesHexFile(path, &why)) {
    std::printf("mx7410-sim: memory matches %s\n", path.c_str());
    return kExitOk;
  }
  std::printf("mx7410-sim: memory does not match %s: %s\n", path.c_str(), why.c_str());
  return kExitMismatch;
}

int Serve(mx::sim::CommandLine line) {
  const sigset_t signals = WaitedSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // before any thread starts
  if (line.exitAfterEnd) line.options.onEndFrame = [] { kill(getpid(), SIGUSR1); };

  mx::sim::SimulatedBootloader sim(line.options);
  sim.Start();
  sim.Publish(line.portDirectory.empty() ? mx::sim::PortDirectoryFromEnvironment() : line.portDirectory, line.name);
  std::printf("mx7410-sim: serving %s as %s\n", sim.PortPath().c_str(), sim.PublishedPath().c_str());
  std::fflush(stdout);

  WaitForExit(signals, line.exitAfterEnd);
  sim.Stop();
  const int dumpStatus = WriteDumps(sim, line);
  const int verifyStatus = Verify(sim, line.verify);
  std::fflush(stdout);
  return verifyStatus != kExitOk ? verifyStatus : dumpStatus;
}

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  const auto line = mx::sim::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), &error);
  if (!line) {
    std::fprintf(stderr, "mx7410-sim: %s\nTry 'mx7410-sim --help'.\n", error.c_str());
    return kExitError;
  }
  if (line->help) {
    std::fputs(mx::sim::HelpText().c_str(), stdout);
    return kExitOk;
  }
  if (line->version) {
    std::printf("mx7410-sim %s\n", MX_SIM_VERSION);
    return kExitOk;
  }
  try {
    return Serve(*line);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mx7410-sim: %s\n", e.what());
    return kExitError;
  }
}
