#include "sim/LineEmulation.h"

#include <algorithm>

namespace mx::sim {

Clock::duration ByteTime(std::uint32_t baud) {
  if (baud == 0) return Clock::duration::zero();
  return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(10'000'000'000LL / baud));
}

void ReceiveLine::Arrived(std::span<const std::uint8_t> bytes, Clock::time_point readAt) {
  for (std::uint8_t byte : bytes) {
    lineFreeAt_ = std::max(lineFreeAt_, readAt) + byteTime_;
    pending_.push_back({byte, lineFreeAt_});
  }
}

std::vector<TimedByte> ReceiveLine::TakeArrived(Clock::time_point now) {
  std::vector<TimedByte> arrived;
  while (!pending_.empty() && pending_.front().at <= now) {
    arrived.push_back(pending_.front());
    pending_.pop_front();
  }
  return arrived;
}

std::optional<Clock::time_point> ReceiveLine::NextArrival() const {
  if (pending_.empty()) return std::nullopt;
  return pending_.front().at;
}

TransmitLine::TransmitLine(std::uint32_t baud, std::vector<std::uint8_t> noise, std::chrono::milliseconds splitGap,
                           std::chrono::milliseconds latencyTimer)
    : byteTime_(ByteTime(baud)), noise_(std::move(noise)), splitGap_(splitGap), latencyTimer_(latencyTimer) {}

void TransmitLine::Schedule(std::vector<Output> outputs, Clock::time_point after) {
  Clock::time_point cursor = after;
  for (Output& output : outputs) {
    const Clock::time_point notBefore = cursor + output.delay;
    if (output.kind == Output::Kind::Reply) {
      ScheduleReply(output, notBefore);
    } else {
      Add(output.kind, std::move(output.bytes), notBefore, std::move(output.what));
    }
    cursor = lineFreeAt_;
  }
}

void TransmitLine::ScheduleReply(Output& output, Clock::time_point notBefore) {
  std::vector<std::uint8_t> bytes = noise_;
  bytes.insert(bytes.end(), output.bytes.begin(), output.bytes.end());
  if (!noise_.empty()) output.what += " after noise";
  if (splitGap_.count() == 0) {
    Add(output.kind, std::move(bytes), notBefore, std::move(output.what));
    return;
  }
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const Clock::time_point byteNotBefore = i == 0 ? notBefore : lineFreeAt_ + splitGap_;
    const std::string what =
        output.what + " (byte " + std::to_string(i + 1) + " of " + std::to_string(bytes.size()) + ")";
    Add(output.kind, {bytes[i]}, byteNotBefore, what);
  }
}

void TransmitLine::Add(Output::Kind kind, std::vector<std::uint8_t> bytes, Clock::time_point notBefore,
                       std::string what) {
  // A unit is released when its last byte would have left the line.
  const auto wireTime = byteTime_ * static_cast<long>(bytes.size());
  lineFreeAt_ = std::max(lineFreeAt_, notBefore) + wireTime;
  Clock::time_point due = lineFreeAt_;
  if (latencyTimer_.count() > 0) {
    // The adapter hands its buffer over at the next tick of its timer.
    const Clock::duration sinceEpoch = due.time_since_epoch();
    const auto ticks = (sinceEpoch + latencyTimer_ - Clock::duration(1)) / latencyTimer_;
    due = Clock::time_point(ticks * std::chrono::duration_cast<Clock::duration>(latencyTimer_));
  }
  queue_.push_back({kind, std::move(bytes), due, 0, std::move(what)});
}

TransmitUnit* TransmitLine::Next() { return queue_.empty() ? nullptr : &queue_.front(); }

void TransmitLine::PopNext() {
  if (!queue_.empty()) queue_.pop_front();
}

std::optional<Clock::time_point> TransmitLine::NextDue() const {
  if (queue_.empty()) return std::nullopt;
  return queue_.front().due;
}

}  // namespace mx::sim
