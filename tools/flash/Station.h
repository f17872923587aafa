#pragma once

// A production station: flashes every board it meets until it is stopped.
// A port that appears (PortWatch) gets one update, as `update` would run on
// it; each fixed --port gets the Update Wizard again and again, so every
// board that powers on there is caught, flashed, and followed by a wait for
// the next. Every board runs in a PortRun on a thread of its own, at once
// with the others; its outcome goes to the StationReport, and its row to the
// record store, before that port takes its next board. Nothing spins: the threads block on the port, the
// watch and a condition.

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "BoardImages.h"
#include "CommandLine.h"
#include "StationReport.h"
#include "update/FirmwareImage.h"

namespace mx::flash {

class PortRun;

class Station {
 public:
  // A fixed port that cannot be opened is tried again after this long, or
  // as soon as it appears.
  static constexpr std::chrono::seconds kReopenPause{2};
  static constexpr std::chrono::seconds kTableInterval{1};

  // With `boards`, every board gets its own image from there; once they are
  // used up the station takes no new board and ends after those under way.
  Station(const Options& options, StationReport& report, std::shared_ptr<const FirmwareImage> image,
          BoardImages* boards = nullptr);

  // Serves until Interrupt; returns once every board's run has ended and
  // been recorded. Throws std::runtime_error when ports cannot be watched.
  void Run();
  // Stops the station: every run closes its port and ends. Any thread.
  void Interrupt();
  // The station ended because no more boards could be written.
  bool UsedUp() const { return usedUp_; }

 private:
  struct PortThread {
    std::thread thread;
    bool done = false;
  };

  // Note: runs on the port watch's thread.
  void PortAppeared(const std::string& port);
  // Note: these run on the port's own thread.
  void ServeFixedPort(const std::string& port);
  void FlashAppearedBoard(const std::string& port);
  // One board (or one wait for it) on `port`; false when no board was there.
  bool RunBoard(const std::string& port, Command command);

  void TakeNoMoreBoards(const std::string& port);
  bool IsFixed(const std::string& port) const;
  void StartThread(const std::string& port, void (Station::*serve)(const std::string&));  // with mutex_ held
  void JoinAll();

  const Options& options_;
  StationReport& report_;
  const std::shared_ptr<const FirmwareImage> image_;
  BoardImages* const boards_;
  std::mutex mutex_;
  bool usedUp_ = false;
  std::condition_variable changed_;
  bool stopping_ = false;
  std::map<std::string, PortThread> threads_;  // by port: the one serving it
  std::map<std::string, PortRun*> running_;    // by port: the run under way, for Interrupt
  std::map<std::string, long> appearances_;    // by fixed port: times it appeared
};

}  // namespace mx::flash
