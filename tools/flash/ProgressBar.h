#pragma once

// The transfer's progress as one terminal line: percent, bar, bytes, rate
// and time left. The byte counts come from the firmware file itself, since
// data records need not all hold 16 bytes.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mx::flash {

// Data bytes of the image after each data record up to the end record:
// element k is the total of the first k records (element 0 is 0). Empty
// when the file cannot be read or is refused; the reading is for display
// only, the form reads the file again for the transfer.
std::vector<std::uint64_t> CumulativeRecordBytes(const std::string& path);

struct ProgressSample {
  int records = 0;     // data records passed so far (the progress bar's position)
  int maxRecords = 0;  // the progress bar's maximum
  std::optional<std::uint64_t> bytesDone;
  std::optional<std::uint64_t> bytesTotal;
  std::chrono::duration<double> elapsed{0};  // since the transfer started
};

// One line of at most `columns` characters, without line end.
std::string FormatProgressLine(const ProgressSample& sample, int columns);

// "512 B", "15.9 KiB", "1.2 MiB".
std::string FormatBytes(std::uint64_t bytes);

// Follows the progress bar's position and says when the line is worth
// drawing again (at most every 100 ms, and always at 0 and at the end).
class ProgressTracker {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kRedrawInterval{100};

  explicit ProgressTracker(std::vector<std::uint64_t> cumulativeBytes) : cumulative_(std::move(cumulativeBytes)) {}

  // The sample to draw now, or nothing when the last drawing is recent enough.
  std::optional<ProgressSample> Update(int position, int maximum, Clock::time_point now);

 private:
  std::vector<std::uint64_t> cumulative_;
  std::optional<Clock::time_point> start_;
  std::optional<Clock::time_point> lastDrawn_;
};

}  // namespace mx::flash
