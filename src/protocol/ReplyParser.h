#pragma once

// Turns the bootloader's reply bytes, delivered in chunks of any size, into
// frames, checks them, and reports what it found: the replies, the version,
// the frames it logged, and the memo lines to write for them in the texts
// its caller gives. Pure: bytes and options in, facts and lines out.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "protocol/Reply.h"

namespace mx {

// The texts the receive log is written with, in the window's language.
struct ReceiveTexts {
  std::string commandReceived;    // prefix of a logged frame
  std::string restore;            // its prefix in restore mode
  std::string wizard;             // the line for a frame while the wizard waits
  std::string checksumChecked;    // after a valid frame
  std::string bootloaderVersion;  // the version lines
  std::string oldVersion;
  std::string restorePoint;
};

// How the next chunk is to be taken.
struct ReceiveOptions {
  bool showMessages = false;            // "Show Message" checked: frames are logged
  bool wizardWaiting = false;           // the Update Wizard waits for the device's first frame
  bool restoreMode = false;             // log lines begin with the restore caption
  const ReceiveTexts* texts = nullptr;  // none: every text empty
};

// The bootloader's version reply.
struct VersionReply {
  std::uint8_t major = 0;
  std::uint8_t minor = 0;
  std::string oldVersionHex;    // as logged with the frame; empty when not logged
  std::string restorePointHex;  // likewise
  // The lines written for it, without line ends: "Bootloader Version:1.1"
  // (also Label1's caption), then the OldVersion and RestorePoint lines.
  std::vector<std::string> lines;
};

// What one chunk produced, in the order it happened.
struct ReceiveResult {
  std::vector<std::string> memoLines;   // each ends with CR LF
  std::optional<Reply> reply;           // the last reply recognised
  std::optional<VersionReply> version;  // a version reply was recognised
  bool wizardFrameLogged = false;       // a frame was logged while the wizard waited
};

// The receive accumulator with its log counter and captured version digits.
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

  // Starts the receive log afresh: the log counter, the captured version
  // digits and the first log line.
  void ResetLog();

  // Receive log lines written since the last reset; verbose logging only
  // while below 2. Stops at 65535 instead of wrapping.
  std::uint16_t rxLogCount = 0;
  // Two upper-case hex digits per byte at raw positions 7..9 and 10..12 of a
  // logged frame.
  std::string oldVersionHex;
  std::string restorePointHex;
  // The first receive log line since the reset, without its line end: the
  // prefix, a colon and the frame's bytes in decimal. Empty when none.
  const std::string& FirstLogLine() const { return firstLogLine_; }

 private:
  void Accumulate(std::uint8_t byte);
  void MakeRoom(const ReceiveOptions& options, ReceiveResult& result);
  void Finish(const ReceiveOptions& options, ReceiveResult& result);
  void Log(const ReceiveOptions& options, ReceiveResult& result);
  void Decode(const ReceiveOptions& options, ReceiveResult& result);
  void HandleFrame(std::span<const std::uint8_t> body, const ReceiveOptions& options, ReceiveResult& result);
  void HandleVersionReply(std::uint8_t major, std::uint8_t minor, const ReceiveTexts& texts, ReceiveResult& result);

  std::array<std::uint8_t, kCapacity> buffer_{};
  std::size_t length_ = 0;  // bytes stored
  bool armed_ = false;
  bool synced_ = false;
  bool complete_ = false;
  bool previousWasSync_ = false;
  bool escapePending_ = false;
  std::string firstLogLine_;
};

// The reply wait's time-out text as an integer: trims blanks, an empty text is
// 0, every non-digit byte counts as the digit 0 ("2.5" gives 205, "-1" gives
// 1). Values beyond INT_MAX give INT_MAX.
int DigitsToInt(const std::string& text);

}  // namespace mx
