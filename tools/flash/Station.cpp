#include "Station.h"

#include <algorithm>
#include <filesystem>
#include <vector>

#include "PortRun.h"
#include "PortWatch.h"

namespace mx::flash {

namespace {

// The file name part of a port, so that "ttyUSB0" and "/dev/ttyUSB0" meet.
std::string PortBaseName(const std::string& port) { return std::filesystem::path(port).filename().string(); }

}  // namespace

Station::Station(const Options& options, StationReport& report, std::shared_ptr<const FirmwareImage> image,
                 BoardImages* boards)
    : options_(options), report_(report), image_(std::move(image)), boards_(boards) {}

void Station::Run() {
  {
    std::lock_guard lock(mutex_);
    for (const std::string& port : options_.ports) StartThread(port, &Station::ServeFixedPort);
  }
  {
    PortWatch watch([this](const std::string& port) { PortAppeared(port); });
    report_.Watching();
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      // Without a table to redraw, nothing here needs waking before a change.
      if (report_.ShowsTable()) {
        changed_.wait_for(lock, kTableInterval);
      } else {
        changed_.wait(lock);
      }
      for (auto it = threads_.begin(); it != threads_.end();) {
        if (!it->second.done) {
          ++it;
          continue;
        }
        it->second.thread.join();  // it has ended: at once
        it = threads_.erase(it);
      }
      lock.unlock();
      report_.Refresh();
      lock.lock();
    }
  }  // the watch stops: no port starts after this
  JoinAll();
  report_.Finished();
}

void Station::Interrupt() {
  std::lock_guard lock(mutex_);
  stopping_ = true;
  for (const auto& [port, run] : running_) run->Interrupt();
  changed_.notify_all();
}

void Station::PortAppeared(const std::string& port) {
  std::lock_guard lock(mutex_);
  if (stopping_) return;
  if (IsFixed(port)) {
    ++appearances_[PortBaseName(port)];  // ends its pause before a new try
    changed_.notify_all();
    return;
  }
  const auto serving = threads_.find(port);
  if (serving != threads_.end()) {
    if (!serving->second.done) return;  // the board there is being flashed still
    serving->second.thread.join();
    threads_.erase(serving);
  }
  StartThread(port, &Station::FlashAppearedBoard);
}

void Station::ServeFixedPort(const std::string& port) {
  for (;;) {
    long seen = 0;
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      seen = appearances_[PortBaseName(port)];
    }
    if (RunBoard(port, Command::Wizard)) continue;  // straight on to wait for the next board
    // No board: the port could not be opened or the wait failed. Try again
    // when it appears, or after a pause; never at once in a loop.
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, kReopenPause, [&] { return stopping_ || appearances_[PortBaseName(port)] != seen; });
  }
}

void Station::FlashAppearedBoard(const std::string& port) { RunBoard(port, Command::Update); }

bool Station::RunBoard(const std::string& port, Command command) {
  const auto start = std::chrono::steady_clock::now();
  Options own = options_;
  own.command = command;
  own.port = port;
  own.ports = {port};
  std::unique_ptr<BoardOutput> output = report_.OutputFor(port, command == Command::Wizard);
  PortRun run(std::move(own), *output, image_, boards_);
  {
    std::lock_guard lock(mutex_);
    running_[port] = &run;
    if (stopping_) run.Interrupt();
  }
  const int status = run.Run();
  bool interrupted = false;
  {
    std::lock_guard lock(mutex_);
    running_.erase(port);
    interrupted = stopping_ && !usedUp_;
  }
  if (boards_ && boards_->UsedUp()) TakeNoMoreBoards(port);
  if (!run.BoardSeen()) {
    report_.PortState(port, interrupted ? "stopped" : "no board");
    return false;
  }
  BoardOutcome board{{port, status, run.Outcome(), std::chrono::steady_clock::now() - start, WrittenInto(run.Board())},
                     run.Retries(),
                     interrupted,
                     output->Messages()};
  report_.BoardEnded(port, board);  // on disk before this port's next board
  return true;
}

// Ends the station as an interrupt would, except that the boards under way
// are finished; runs still waiting for a board stop waiting.
void Station::TakeNoMoreBoards(const std::string& port) {
  std::lock_guard lock(mutex_);
  if (usedUp_) return;
  usedUp_ = true;
  stopping_ = true;
  report_.PortNote(port, boards_->UsedUpText() + "; the station takes no new board");
  for (const auto& [waiting, run] : running_) run->StopWaitingForBoard("no new board is taken");
  changed_.notify_all();
}

bool Station::IsFixed(const std::string& port) const {
  return std::any_of(options_.ports.begin(), options_.ports.end(), [&](const std::string& fixed) {
    return fixed == port || PortBaseName(fixed) == PortBaseName(port);
  });
}

void Station::StartThread(const std::string& port, void (Station::*serve)(const std::string&)) {
  PortThread& entry = threads_[port];
  entry.done = false;
  entry.thread = std::thread([this, port, serve] {
    (this->*serve)(port);
    std::lock_guard lock(mutex_);
    if (const auto entry = threads_.find(port); entry != threads_.end()) entry->second.done = true;
    changed_.notify_all();
  });
}

void Station::JoinAll() {
  std::unique_lock lock(mutex_);
  while (!threads_.empty()) {
    auto node = threads_.extract(threads_.begin());
    lock.unlock();
    node.mapped().thread.join();
    lock.lock();
  }
}

}  // namespace mx::flash
