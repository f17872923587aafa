#include "ProgressBar.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace mx::flash {

namespace {

constexpr int kMinBarWidth = 10;
constexpr int kMaxBarWidth = 40;
// Room kept for the details, so that the bar keeps its width while they grow.
constexpr int kDetailsWidth = 48;
// Rates measured over less than this are too noisy to show.
constexpr std::chrono::duration<double> kMinRateTime{0.5};

std::string Printf(const char* format, double value) {
  char text[32];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string FormatDuration(double seconds) {
  const long total = std::lround(seconds);
  return std::to_string(total / 60) + ":" + (total % 60 < 10 ? "0" : "") + std::to_string(total % 60);
}

std::string Bar(double fraction, int width) {
  const int filled = static_cast<int>(std::floor(fraction * width));
  return "[" + std::string(filled, '#') + std::string(width - filled, '-') + "]";
}

}  // namespace

std::string FormatBytes(std::uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  if (bytes < 1024 * 1024) return Printf("%.1f KiB", static_cast<double>(bytes) / 1024);
  return Printf("%.1f MiB", static_cast<double>(bytes) / (1024 * 1024));
}

int WholePercent(const ProgressSample& sample) {
  if (!sample.bytesTotal) {
    return PercentDone(static_cast<std::uint64_t>(std::max(sample.records, 0)),
                       static_cast<std::uint64_t>(std::max(sample.maxRecords, 0)));
  }
  return PercentDone(sample.bytesDone.value_or(0), *sample.bytesTotal);
}

std::string FormatRate(const ProgressSample& sample) {
  if (!sample.bytesDone || !sample.bytesTotal || sample.elapsed < kMinRateTime || *sample.bytesDone == 0) return {};
  const double rate = static_cast<double>(*sample.bytesDone) / sample.elapsed.count();
  const double left = static_cast<double>(*sample.bytesTotal - std::min(*sample.bytesDone, *sample.bytesTotal)) / rate;
  return FormatBytes(static_cast<std::uint64_t>(rate)) + "/s  " + FormatDuration(left) + " left";
}

std::string FormatProgressLine(const ProgressSample& sample, int columns) {
  const int wholePercent = WholePercent(sample);
  const double fraction = wholePercent / 100.0;
  const std::string percent = Printf("%3.0f%%", wholePercent);

  std::string details;
  if (sample.bytesDone && sample.bytesTotal) {
    details = "  " + FormatBytes(*sample.bytesDone) + " / " + FormatBytes(*sample.bytesTotal);
    if (const std::string rate = FormatRate(sample); !rate.empty()) details += "  " + rate;
  } else {
    details = "  " + std::to_string(sample.records) + " / " + std::to_string(sample.maxRecords) + " records";
  }

  const int detailsWidth = std::max(kDetailsWidth, static_cast<int>(details.size()));
  const int room = columns - 1 - static_cast<int>(percent.size() + 1) - detailsWidth - 2;
  std::string line = percent;
  if (room >= kMinBarWidth) line += " " + Bar(fraction, std::min(room, kMaxBarWidth));
  line += details;
  if (static_cast<int>(line.size()) >= columns) line.resize(std::max(columns - 1, 0));
  return line;
}

std::optional<ProgressSample> ProgressTracker::Update(const TransferProgress& progress, Clock::time_point now) {
  if (!start_ || progress.records < lastRecords_) start_ = now;  // a (new) transfer starts
  lastRecords_ = progress.records;
  const bool atEdge = progress.records <= 1 || progress.records >= progress.recordsTotal;
  if (!atEdge && lastDrawn_ && now - *lastDrawn_ < kRedrawInterval) return std::nullopt;
  lastDrawn_ = now;

  ProgressSample sample;
  sample.records = progress.records;
  sample.maxRecords = progress.recordsTotal;
  sample.elapsed = now - *start_;
  // Records after the end record count on in the transfer; the image ends there.
  sample.bytesDone = std::min(progress.bytes, progress.bytesTotal);
  sample.bytesTotal = progress.bytesTotal;
  return sample;
}

}  // namespace mx::flash
