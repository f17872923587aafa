#pragma once

// What runs on several ports report: each port's result, and the interface
// through which the runs show while they go (ConsoleReport for a person,
// JsonReport for a factory system).

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BoardImages.h"
#include "CommandLine.h"
#include "TerminalView.h"
#include "actions/ActionOutcome.h"

namespace mx::flash {

// What a board got written into its image.
struct BoardWritten {
  std::optional<std::uint64_t> serial;         // its serial number
  std::optional<double> serialReserveSeconds;  // how long reserving it took
  std::optional<std::string> data;             // its line of board data, in hex
};

// From the run's board image: nothing when none was written.
BoardWritten WrittenInto(const std::optional<BoardImage>& board);

struct PortResult {
  std::string port;
  int exitStatus = kExitDeviceFailed;
  ActionOutcome outcome;
  std::chrono::duration<double> elapsed{0};
  BoardWritten written;
};

// What the runs show while they go and once they are over. OutputFor and
// Ended are called on the ports' threads, each for its own port; Refresh and
// Finished on the thread that runs the gang.
class GangReport {
 public:
  virtual ~GangReport() = default;
  // Where the run on port `index` sends its text; asked as the run starts.
  virtual std::unique_ptr<TerminalOutput> OutputFor(std::size_t index) = 0;
  virtual void Ended(std::size_t index, const PortResult& result) = 0;
  // About four times a second while ports run.
  virtual void Refresh() = 0;
  virtual void Finished(const std::vector<PortResult>& results, int exitStatus) = 0;
  // The process ends now, with runs still under way (a second Ctrl-C, or a
  // run that did not end within its grace): every port that has not ended
  // gets its record, saying it was interrupted and how far it got, then the
  // closing summary. Any thread; the ports' threads may still be running.
  virtual void Abandoned(int exitStatus) = 0;
};

}  // namespace mx::flash
