#pragma once

// The receive log's policy: which of the parser's entries the log takes,
// and the version digits it keeps from the frames it takes. The first two
// entries after a reset are the log's (frames only while frames are
// logged, erase answers always); a version reply is always taken, and
// carries the digits kept so far.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/ReplyParser.h"

namespace mx {

class ReceiveLog {
 public:
  // Entries after which only version replies are taken.
  static constexpr std::uint16_t kEntriesLogged = 2;

  // Starts afresh: the count, the digits and the first frame.
  void Reset();
  // The entries of one chunk the log takes, in order. `logFrames`: frames,
  // checksum notes and write answers are logged ("Show Message").
  std::vector<LogEntry> Take(const std::vector<LogEntry>& received, bool logFrames);

  // Entries taken since the reset; stops at 65535 instead of wrapping.
  std::uint16_t Count() const { return count_; }
  // Two upper-case hex digits per byte at raw positions 7..9 and 10..12 of
  // every frame taken.
  const std::string& OldVersionHex() const { return oldVersionHex_; }
  const std::string& RestorePointHex() const { return restorePointHex_; }
  // The first frame taken since the reset (a LoggedFrame or a
  // WizardFrameSeen); none while nothing was.
  const std::optional<LogEntry>& FirstFrame() const { return firstFrame_; }

 private:
  bool Takes(const LogEntry& entry, bool logFrames) const;
  void KeepDigits(const std::vector<std::uint8_t>& frame);

  std::uint16_t count_ = 0;
  std::string oldVersionHex_;
  std::string restorePointHex_;
  std::optional<LogEntry> firstFrame_;
};

}  // namespace mx
