#pragma once

// The time a serial line takes. Received bytes are held back until they
// would have crossed the line; outputs are queued in order and each is
// released once the line would have carried it. With baud 0 the line takes
// no time. Serving thread only.

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "sim/Device.h"

namespace mx::sim {

using Clock = std::chrono::steady_clock;

// 10 bits per byte (start, 8 data, stop); zero when `baud` is 0.
Clock::duration ByteTime(std::uint32_t baud);

struct TimedByte {
  std::uint8_t value;
  Clock::time_point at;  // when its last bit has arrived
};

class ReceiveLine {
 public:
  explicit ReceiveLine(std::uint32_t baud) : byteTime_(ByteTime(baud)) {}

  // Bytes read from the pty at `readAt`.
  void Arrived(std::span<const std::uint8_t> bytes, Clock::time_point readAt);
  // The bytes that have crossed the line by `now`, in order.
  std::vector<TimedByte> TakeArrived(Clock::time_point now);
  std::optional<Clock::time_point> NextArrival() const;
  bool Empty() const { return pending_.empty(); }

 private:
  Clock::duration byteTime_;
  Clock::time_point lineFreeAt_{};
  std::deque<TimedByte> pending_;
};

// One write to the pty.
struct TransmitUnit {
  Output::Kind kind = Output::Kind::Reply;
  std::vector<std::uint8_t> bytes;
  Clock::time_point due;    // not written before this
  std::size_t written = 0;  // bytes already written
  std::string what;
};

class TransmitLine {
 public:
  // Reply frames get `noise` in front and, with a `splitGap`, go out one
  // byte per write with that gap between bytes. With a `latencyTimer`, a unit
  // is released only at the timer's next tick after it has crossed the line.
  TransmitLine(std::uint32_t baud, std::vector<std::uint8_t> noise, std::chrono::milliseconds splitGap,
               std::chrono::milliseconds latencyTimer = {});

  // Queues outputs after the end of the frame that caused them (`after`).
  void Schedule(std::vector<Output> outputs, Clock::time_point after);
  TransmitUnit* Next();  // the oldest queued unit, or null
  void PopNext();
  std::optional<Clock::time_point> NextDue() const;

 private:
  void ScheduleReply(Output& output, Clock::time_point notBefore);
  void Add(Output::Kind kind, std::vector<std::uint8_t> bytes, Clock::time_point notBefore, std::string what);

  Clock::duration byteTime_;
  std::vector<std::uint8_t> noise_;
  std::chrono::milliseconds splitGap_;
  std::chrono::milliseconds latencyTimer_;
  Clock::time_point lineFreeAt_{};
  std::deque<TransmitUnit> queue_;
};

}  // namespace mx::sim
