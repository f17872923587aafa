#include "Gang.h"

#include <thread>

#include "PortRun.h"

namespace mx::flash {

int GangExitStatus(const std::vector<PortResult>& results) {
  for (const PortResult& result : results) {
    if (result.exitStatus != kExitSuccess) return result.exitStatus;
  }
  return kExitSuccess;
}

BoardWritten WrittenInto(const std::optional<BoardImage>& board) {
  BoardWritten written;
  if (!board || !board->image) return written;
  if (board->serial) {
    written.serial = board->serial->number;
    written.serialReserveSeconds = board->reserveTime.count();
  }
  if (board->data) written.data = HexText(*board->data);
  return written;
}

std::string ResultWord(int exitStatus) {
  switch (exitStatus) {
    case kExitSuccess:
      return "ok";
    case kExitFileRefused:
      return "file-refused";
    case kExitPortFailed:
      return "port-failed";
    case kExitUsage:
      return "usage";
    default:
      return "device-failed";
  }
}

Gang::Gang(const Options& options, std::vector<std::string> ports, GangReport& report,
           std::shared_ptr<const FirmwareImage> image, BoardImages* boards)
    : options_(options),
      ports_(std::move(ports)),
      report_(report),
      image_(std::move(image)),
      boards_(boards),
      results_(ports_.size()),
      running_(ports_.size()) {}

int Gang::Run() {
  runsLeft_ = ports_.size();
  std::vector<std::thread> threads;
  for (std::size_t index = 0; index < ports_.size(); ++index) threads.emplace_back([this, index] { RunPort(index); });
  {
    std::unique_lock lock(mutex_);
    while (!ended_.wait_for(lock, kRefreshInterval, [this] { return runsLeft_ == 0; })) {
      lock.unlock();
      report_.Refresh();
      lock.lock();
    }
  }
  for (std::thread& thread : threads) thread.join();
  const int status = GangExitStatus(results_);
  report_.Finished(results_, status);
  return status;
}

void Gang::Interrupt() {
  std::lock_guard lock(mutex_);
  interrupted_ = true;
  for (PortRun* run : running_) {
    if (run != nullptr) run->Interrupt();
  }
}

void Gang::RunPort(std::size_t index) {
  const auto start = std::chrono::steady_clock::now();
  Options own = options_;
  if (!ports_[index].empty()) own.port = ports_[index];  // else the automatic choice
  std::unique_ptr<TerminalOutput> output = report_.OutputFor(index);
  PortRun run(std::move(own), *output, image_, boards_);
  {
    std::lock_guard lock(mutex_);
    running_[index] = &run;
    if (interrupted_) run.Interrupt();
  }
  const int status = run.Run();
  {
    std::lock_guard lock(mutex_);
    running_[index] = nullptr;
  }
  PortResult& result = results_[index];
  result = {ports_[index], status, run.Outcome(), std::chrono::steady_clock::now() - start, WrittenInto(run.Board())};
  report_.Ended(index, result);
  std::lock_guard lock(mutex_);
  --runsLeft_;
  ended_.notify_all();
}

}  // namespace mx::flash
