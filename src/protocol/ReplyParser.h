#pragma once

// Turns the bootloader's reply bytes, delivered in chunks of any size, into
// frames, checks them, and says what to log and which reply was recognised.
// Pure: bytes and options in, memo lines and a reply word out. The window's
// receive handler applies the result.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/LanguageTexts.h"

namespace mx {

// What the receive handler needs to know about the window.
struct ReceiveOptions {
  bool showMessages = false;   // "Show Message" checked
  bool wizardWaiting = false;  // the Update Wizard waits for the device's first frame
  bool restoreMode = false;    // log lines begin with the restore caption
  const LanguageTexts* texts = nullptr;
};

// What one chunk produced, in the order it happened.
struct ReceiveResult {
  std::vector<std::string> memoLines;         // each ends with CR LF
  std::optional<std::string> replyWord;       // "OK", "NO", "VerOK" or "EraseOK"; last recognised wins
  std::optional<std::string> versionCaption;  // "Bootloader Version:1.1", for Label1
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

  // Receive log lines written since the last reset; verbose logging only
  // while below 2. Stops at 65535 instead of wrapping.
  std::uint16_t rxLogCount = 0;
  // Two upper-case hex digits per byte at raw positions 7..9 and 10..12 of a
  // logged frame.
  std::string oldVersionHex;
  std::string restorePointHex;

 private:
  void Accumulate(std::uint8_t byte);
  void MakeRoom(const ReceiveOptions& options, ReceiveResult& result);
  void Finish(const ReceiveOptions& options, ReceiveResult& result);
  void Log(const ReceiveOptions& options, ReceiveResult& result);
  void Decode(const ReceiveOptions& options, ReceiveResult& result);
  void HandleFrame(std::span<const std::uint8_t> body, const ReceiveOptions& options, ReceiveResult& result);
  void HandleVersionReply(std::uint8_t major, std::uint8_t minor, const LanguageTexts& texts, ReceiveResult& result);

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
