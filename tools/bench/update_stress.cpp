// Runs many short mx7410-flash jobs against simulated bootloaders and counts
// the runs in which the device did not get what the file requires: its
// memory differs from the file, or the frames it received are not the
// sequence the job must send (the greeting, the restore command, every
// erase, one write frame per block, the end frame and the final version
// request). Meant to run on a loaded machine (scripts/stress-update.sh).
//
//   update_stress FLASH_PROGRAM [RUNS [SEED]]

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sim/SimulatedBootloader.h"
#include "support/HexWriter.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

enum class Job { Update, Restore, EraseRefusedUpdate, Wizard, EmptyImage };
constexpr Job kJobs[] = {Job::Update, Job::Restore, Job::EraseRefusedUpdate, Job::Wizard, Job::EmptyImage};
// The jobs in turn: every tenth run a wizard, which takes a second longer.
constexpr Job kRotation[] = {Job::Update,     Job::Restore, Job::Update,  Job::EraseRefusedUpdate, Job::Update,
                             Job::EmptyImage, Job::Update,  Job::Restore, Job::EraseRefusedUpdate, Job::Wizard};

const char* Name(Job job) {
  switch (job) {
    case Job::Update:
      return "update";
    case Job::Restore:
      return "restore";
    case Job::EraseRefusedUpdate:
      return "erase-refused update";
    case Job::Wizard:
      return "wizard";
    case Job::EmptyImage:
      return "empty image";
  }
  return "?";
}

// Host command codes, as the device sees them.
constexpr int kText = -1;  // the raw greeting "re"
constexpr int kVersion = 0x00;
constexpr int kEnd = 0x01;
constexpr int kWrite = 0x02;
constexpr int kErase = 0x03;
constexpr int kRestore = 0x09;

// `size` random bytes in 16-byte records from address 0; returns the number
// of write frames they take (a rest of 255 bytes takes two).
std::size_t WriteImage(const fs::path& path, std::size_t size, std::mt19937& random) {
  std::vector<std::uint8_t> data(size);
  for (std::uint8_t& byte : data) byte = static_cast<std::uint8_t>(random());
  std::ofstream(path, std::ios::binary) << mx::test::HexImage().Bytes(0, data).End().Text();
  const std::size_t rest = size % 256;
  return size / 256 + (rest == 0 ? 0 : rest == 255 ? 2 : 1);
}

constexpr auto kHangLimit = 60s;
constexpr int kHung = -2;

// Runs the program with its output in `log`; the exit status, -1 when it
// was ended by a signal, or kHung.
int Run(const std::vector<std::string>& args, const fs::path& log) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  // A run that has not ended after kHangLimit has hung: it is ended and
  // counts as wrong.
  const auto deadline = std::chrono::steady_clock::now() + kHangLimit;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return kHung;
    }
    std::this_thread::sleep_for(20ms);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<int> Commands(const std::vector<mx::sim::ReceivedFrame>& frames) {
  std::vector<int> codes;
  for (const auto& frame : frames) codes.push_back(frame.body.empty() ? kText : frame.body[0]);
  return codes;
}

std::vector<int> ExpectedCommands(Job job, std::size_t blocks, int erases) {
  std::vector<int> codes{kText, kVersion};
  if (job == Job::Restore) codes.push_back(kRestore);
  codes.insert(codes.end(), erases, kErase);
  codes.insert(codes.end(), blocks, kWrite);
  codes.push_back(kEnd);
  if (blocks > 0) codes.push_back(kVersion);  // only a successful write ends with it
  return codes;
}

struct Outcome {
  bool good = true;
  std::string why;
};

Outcome RunJob(Job job, const std::string& flash, const fs::path& work, std::mt19937& random) {
  mx::sim::SimOptions options;
  int erases = 1;
  if (job == Job::EraseRefusedUpdate) {
    options.refuseErase = 1;
    erases = 2;
  }
  if (job == Job::Wizard) options.powerOnAfter = 300ms;
  const std::size_t size = job == Job::EmptyImage ? 0 : 1 + random() % 1200;
  const fs::path image = work / "image.hex";
  const std::size_t blocks = WriteImage(image, size, random);

  mx::sim::SimulatedBootloader device(options);
  device.Start();
  const char* command = job == Job::Restore ? "restore" : job == Job::Wizard ? "wizard" : "update";
  const fs::path log = work / "flash.log";
  const int status = Run(
      {flash, "--port", device.PortPath(), "--read-gap", "5", "--max-wait", "20", "--quiet", command, image.string()},
      log);
  const std::vector<int> expected = ExpectedCommands(job, blocks, erases);
  device.WaitForFrames(expected.size(), 5s);  // the last bytes may still be on the line
  Outcome outcome;
  std::string why;
  if (status == kHung) {
    outcome = {false, "hung, ended after " + std::to_string(kHangLimit.count()) + " s"};
  } else if (status != 0) {
    outcome = {false, "exit status " + std::to_string(status)};
  } else if (!device.MatchesHexFile(image.string(), &why)) {
    outcome = {false, "memory: " + why};
  } else {
    std::vector<int> received = Commands(device.Frames());
    // The wizard's first frames are its own version request before the connect.
    if (job == Job::Wizard && received.size() >= 1 && received.front() == kVersion) received.erase(received.begin());
    if (received != expected) {
      outcome = {false, "frames: got " + std::to_string(received.size()) + ", want " + std::to_string(expected.size())};
    }
  }
  if (!outcome.good) {
    std::ifstream text(log);
    outcome.why += "\n" + std::string(std::istreambuf_iterator<char>(text), {});
  }
  return outcome;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: update_stress FLASH_PROGRAM [RUNS [SEED]]\n";
    return 2;
  }
  const std::string flash = argv[1];
  const int runs = argc > 2 ? std::stoi(argv[2]) : 1000;
  std::mt19937 random(argc > 3 ? static_cast<unsigned>(std::stoul(argv[3])) : 7410u);
  const fs::path work = fs::temp_directory_path() / ("mx7410-stress-" + std::to_string(::getpid()));
  fs::create_directories(work);

  std::map<Job, int> done;
  std::map<Job, int> bad;
  const auto start = std::chrono::steady_clock::now();
  for (int run = 0; run < runs; ++run) {
    const Job job = kRotation[run % std::size(kRotation)];
    const Outcome outcome = RunJob(job, flash, work, random);
    ++done[job];
    if (!outcome.good) {
      ++bad[job];
      std::cerr << "run " << run << " (" << Name(job) << "): " << outcome.why << "\n";
    }
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  fs::remove_all(work);

  int failures = 0;
  for (const Job job : kJobs) {
    std::cout << Name(job) << ": " << done[job] << " runs, " << bad[job] << " wrong\n";
    failures += bad[job];
  }
  std::cout << "all: " << runs << " runs in " << static_cast<int>(elapsed.count()) << " s, " << failures
            << " with the device's memory or frames not as the file requires\n";
  return failures == 0 ? 0 : 1;
}
