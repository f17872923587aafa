#pragma once

// Turns the bootloader's reply bytes, delivered in chunks of any size, into
// frames, checks them, and reports what it found: the replies, the version,
// and an entry for every frame and answer. Pure: bytes and options in, facts
// out; which entries a receive log takes is its own policy (ReceiveLog).

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "protocol/Reply.h"

namespace mx {

// How the next chunk is to be taken.
struct ReceiveOptions {
  bool wizardWaiting = false;  // the Update Wizard waits for the device's first frame: no reply is read
};

// The bootloader's version reply.
struct VersionReply {
  std::uint8_t major = 0;
  std::uint8_t minor = 0;
  std::string oldVersionHex;    // as the receive log kept them from its frames; the parser leaves them empty
  std::string restorePointHex;  // likewise
};

// What the parser found, in the order it happened: the entries a receive
// log may take.
struct LoggedFrame {
  std::vector<std::uint8_t> bytes;  // as received, from the first sync byte to the end byte
};
struct WizardFrameSeen {  // a frame arrived while the Update Wizard waited
  std::vector<std::uint8_t> bytes;
};
struct ChecksumChecked {};    // a logged frame's checksum was valid
struct WriteAcknowledged {};  // a write was accepted
struct EraseAcknowledged {};  // an erase was accepted
using LogEntry =
    std::variant<LoggedFrame, WizardFrameSeen, ChecksumChecked, WriteAcknowledged, EraseAcknowledged, VersionReply>;

// What one chunk produced.
struct ReceiveResult {
  std::vector<LogEntry> log;            // every frame received, then what it was found to be
  std::optional<Reply> reply;           // the last reply recognised
  std::optional<VersionReply> version;  // the last version reply recognised
};

// The receive accumulator.
class ReplyReceiver {
 public:
  static constexpr std::size_t kCapacity = 50;

  // Empties the accumulator and starts collecting (ArmReceiver).
  void Arm();
  bool Armed() const { return armed_; }

  // Accumulates one chunk; when a frame has been completed, logs, decodes and
  // re-arms. Bytes that would overflow the accumulator drop the accumulation
  // and the receiver waits for the next sync (the overflowing byte counts as
  // the first byte of that wait); when the full accumulator already holds a
  // completed frame, that frame is handled first instead of being dropped.
  // Body bytes a short frame lacks read as 0. Ignores bytes while disarmed.
  ReceiveResult Feed(std::span<const std::uint8_t> chunk, const ReceiveOptions& options);

 private:
  void Accumulate(std::uint8_t byte);
  void MakeRoom(const ReceiveOptions& options, ReceiveResult& result);
  void Finish(const ReceiveOptions& options, ReceiveResult& result);
  void Decode(const ReceiveOptions& options, ReceiveResult& result);
  void HandleFrame(std::span<const std::uint8_t> body, const ReceiveOptions& options, ReceiveResult& result);
  void HandleVersionReply(std::uint8_t major, std::uint8_t minor, ReceiveResult& result);

  std::array<std::uint8_t, kCapacity> buffer_{};
  std::size_t length_ = 0;  // bytes stored
  bool armed_ = false;
  bool synced_ = false;
  bool complete_ = false;
  bool previousWasSync_ = false;
  bool escapePending_ = false;
};

// The reply wait's time-out text as an integer: trims blanks, an empty text is
// 0, every non-digit byte counts as the digit 0 ("2.5" gives 205, "-1" gives
// 1). Values beyond INT_MAX give INT_MAX.
int DigitsToInt(const std::string& text);

}  // namespace mx
