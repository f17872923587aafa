#pragma once

// One command on several ports at once, from one process: a thread, an event
// loop and the device actions for every port, each doing exactly what a
// run alone on that port does (the same bytes, texts and waits). One port's
// failure never stops or slows the others.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "GangReport.h"
#include "update/FirmwareImage.h"

namespace mx::flash {

class PortRun;

class Gang {
 public:
  static constexpr std::chrono::milliseconds kRefreshInterval{250};

  // With `boards`, every port's board gets its own image from there.
  Gang(const Options& options, std::vector<std::string> ports, GangReport& report,
       std::shared_ptr<const FirmwareImage> image, BoardImages* boards = nullptr);

  // Runs the command on every port at once and waits for all of them.
  // Returns 0 when every port succeeded, else the exit status of the first
  // port, in the given order, that failed.
  int Run();
  // The user asked to stop: every port closes its port and ends. Callable
  // from any thread.
  void Interrupt();

 private:
  // Note: runs on the port's own thread.
  void RunPort(std::size_t index);

  const Options& options_;
  const std::vector<std::string> ports_;
  GangReport& report_;
  const std::shared_ptr<const FirmwareImage> image_;
  BoardImages* const boards_;
  std::vector<PortResult> results_;

  // The runs under way, for Interrupt; guarded by mutex_.
  std::mutex mutex_;
  std::condition_variable ended_;
  std::vector<PortRun*> running_;
  std::size_t runsLeft_ = 0;
  bool interrupted_ = false;
};

// 0 when every port succeeded, else the first failure's exit status.
int GangExitStatus(const std::vector<PortResult>& results);
// "ok", "device-failed", "file-refused", "port-failed" (or "usage") for an
// exit status.
std::string ResultWord(int exitStatus);

}  // namespace mx::flash
