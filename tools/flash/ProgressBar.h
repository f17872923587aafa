#pragma once

// The transfer's progress as one terminal line: percent, bar, bytes, rate
// and time left.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "update/Transfer.h"

namespace mx::flash {

struct ProgressSample {
  int records = 0;     // data records passed so far (the progress bar's position)
  int maxRecords = 0;  // the progress bar's maximum
  std::optional<std::uint64_t> bytesDone;
  std::optional<std::uint64_t> bytesTotal;
  std::chrono::duration<double> elapsed{0};  // since the transfer started
};

// The transfer's percent (PercentDone): of the bytes done, or of the records
// when the bytes are unknown; rounded down, 100 when there are none to do.
int WholePercent(const ProgressSample& sample);

// "2.0 KiB/s  0:04 left" once half a second has passed, else empty.
std::string FormatRate(const ProgressSample& sample);

// One line of at most `columns` characters, without line end.
std::string FormatProgressLine(const ProgressSample& sample, int columns);

// "512 B", "15.9 KiB", "1.2 MiB".
std::string FormatBytes(std::uint64_t bytes);

// Follows the transfer and says when the line is worth drawing again (at most
// every 100 ms, and always at the first and the last data record).
class ProgressTracker {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kRedrawInterval{100};

  // The sample to draw now, or nothing when the last drawing is recent enough.
  std::optional<ProgressSample> Update(const TransferProgress& progress, Clock::time_point now);

 private:
  std::optional<Clock::time_point> start_;
  std::optional<Clock::time_point> lastDrawn_;
  int lastRecords_ = 0;
};

}  // namespace mx::flash
