// mx7410-sim: serves a simulated Mx7410 bootloader on a pseudo-terminal until
// SIGINT, SIGTERM or SIGHUP (or an end frame, with --exit-after-end).

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "sim/FlashImage.h"
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

// The memory compared with the file except for the board's serial number,
// which is printed; false, with `why`, when there is none in FORMAT there.
bool MatchesButTheSerial(const mx::sim::SimulatedBootloader& sim, const std::string& path,
                         const mx::sim::CommandLine::SerialPlace& serial, std::string* why) {
  std::optional<mx::sim::MemoryMap> file = mx::sim::ReadIntelHexFile(path, why);
  if (!file) return false;
  const mx::sim::MemoryMap device = sim.Memory();
  std::vector<std::uint8_t> found;
  for (std::uint32_t offset = 0; offset < serial.format.Width(); ++offset) {
    const auto byte = device.find(serial.address + offset);
    if (byte == device.end()) break;
    found.push_back(byte->second);
    if (file->contains(byte->first)) (*file)[byte->first] = byte->second;
  }
  const std::optional<std::uint64_t> number = mx::ReadNumber(found, serial.format);
  if (!number) {
    *why = "no " + serial.format.Name() + " serial number at the address given";
    return false;
  }
  std::printf("mx7410-sim: serial number %llu\n", static_cast<unsigned long long>(*number));
  return mx::sim::SameMemory(device, *file, why);
}

int Verify(const mx::sim::SimulatedBootloader& sim, const mx::sim::CommandLine& line) {
  const std::string& path = line.verify;
  if (path.empty()) return kExitOk;
  std::string why;
  const bool matches =
      line.verifySerial ? MatchesButTheSerial(sim, path, *line.verifySerial, &why) : sim.MatchesHexFile(path, &why);
  if (matches) {
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
  const int verifyStatus = Verify(sim, line);
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
