#include "protocol/ReplyParser.h"

#include <climits>

#include "protocol/Frames.h"

namespace mx {

namespace {

// Raw positions (1-based, sync bytes included) of the captured version bytes.
constexpr std::size_t kOldVersionFirst = 7;
constexpr std::size_t kOldVersionLast = 9;
constexpr std::size_t kRestorePointFirst = 10;
constexpr std::size_t kRestorePointLast = 12;

void AppendHexByte(std::string& text, std::uint8_t byte) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  text += kDigits[byte >> 4];
  text += kDigits[byte & 0x0F];
}

// The log counter saturates instead of wrapping back below 2, which would
// switch verbose logging on again after 65,536 entries.
template <class Entry>
void AddLogEntry(ReceiveResult& result, Entry entry, std::uint16_t& count) {
  result.log.emplace_back(std::in_place_type<Entry>, std::move(entry));
  if (count < UINT16_MAX) ++count;
}

// A decoded frame: body bytes followed by the checksum. A position beyond the
// decoded bytes reads as 0, so short frames never read past their end.
class DecodedBody {
 public:
  explicit DecodedBody(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  // `position` counts from 1, as body byte 1 is the reply type.
  std::uint8_t At(std::size_t position) const { return position <= bytes_.size() ? bytes_[position - 1] : 0; }

 private:
  std::span<const std::uint8_t> bytes_;
};

}  // namespace

void ReplyReceiver::ResetLog() {
  rxLogCount = 0;
  oldVersionHex.clear();
  restorePointHex.clear();
  firstLoggedFrame_.reset();
}

void ReplyReceiver::Arm() {
  buffer_.fill(0);
  length_ = 0;
  armed_ = true;
  synced_ = false;
  complete_ = false;
  previousWasSync_ = false;
  escapePending_ = false;
}

ReceiveResult ReplyReceiver::Feed(std::span<const std::uint8_t> chunk, const ReceiveOptions& options) {
  ReceiveResult result;
  for (const std::uint8_t byte : chunk) {
    if (!armed_) continue;
    if (length_ == kCapacity) MakeRoom(options, result);
    Accumulate(byte);
  }
  if (armed_ && synced_ && complete_) Finish(options, result);
  return result;
}

// The accumulator is full and another byte arrives. A completed frame is
// handled now rather than lost; a run without an end byte is dropped. Either
// way the byte then starts a fresh accumulation, so that it may be the first
// sync byte of the next frame.
void ReplyReceiver::MakeRoom(const ReceiveOptions& options, ReceiveResult& result) {
  if (complete_) {
    Finish(options, result);
  } else {
    Arm();
  }
}

void ReplyReceiver::Accumulate(std::uint8_t byte) {
  buffer_[length_] = byte;
  if (synced_) {
    if (byte == FRAME_END && !escapePending_) complete_ = true;
    escapePending_ = byte == FRAME_ESC && !escapePending_;
    ++length_;
  } else if (byte == FRAME_SYNC) {
    if (previousWasSync_) synced_ = true;
    previousWasSync_ = true;
    ++length_;
  } else {
    // Noise before sync: the next byte overwrites this one.
    previousWasSync_ = false;
    length_ = 0;
  }
}

void ReplyReceiver::Finish(const ReceiveOptions& options, ReceiveResult& result) {
  armed_ = false;
  Log(options, result);
  Decode(options, result);
  Arm();
}

void ReplyReceiver::Log(const ReceiveOptions& options, ReceiveResult& result) {
  if (!options.showMessages || rxLogCount >= 2) return;
  for (std::size_t position = kOldVersionFirst; position <= kOldVersionLast && position <= length_; ++position) {
    AppendHexByte(oldVersionHex, buffer_[position - 1]);
  }
  for (std::size_t position = kRestorePointFirst; position <= kRestorePointLast && position <= length_; ++position) {
    AppendHexByte(restorePointHex, buffer_[position - 1]);
  }
  const bool firstSinceReset = rxLogCount == 0;
  if (options.wizardWaiting) {
    AddLogEntry(result, WizardFrameSeen{}, rxLogCount);
  } else {
    AddLogEntry(result, LoggedFrame{{buffer_.begin(), buffer_.begin() + length_}}, rxLogCount);
  }
  if (firstSinceReset) firstLoggedFrame_ = result.log.back();
}

// Walks the stored bytes: 55 starts a frame, 05 takes the next byte
// literally, 04 ends a frame, which is valid when its bytes sum to 0.
void ReplyReceiver::Decode(const ReceiveOptions& options, ReceiveResult& result) {
  std::array<std::uint8_t, kCapacity> body{};
  std::size_t bodyLength = 0;
  std::uint8_t sum = 0;
  for (std::size_t index = 0; index < length_; ++index) {
    std::uint8_t byte = buffer_[index];
    if (byte == FRAME_SYNC) {
      sum = 0;
      bodyLength = 0;
      continue;
    }
    if (byte == FRAME_END) {
      if (sum == 0) HandleFrame({body.data(), bodyLength}, options, result);
      sum = 0;
      bodyLength = 0;
      continue;
    }
    if (byte == FRAME_ESC) {
      // An escape prefix as the last stored byte has nothing to take.
      if (++index == length_) break;
      byte = buffer_[index];
    }
    sum = static_cast<std::uint8_t>(sum + byte);
    body[bodyLength++] = byte;
  }
}

void ReplyReceiver::HandleFrame(std::span<const std::uint8_t> bytes, const ReceiveOptions& options,
                                ReceiveResult& result) {
  if (options.showMessages && !options.wizardWaiting && rxLogCount < 2) {
    AddLogEntry(result, ChecksumChecked{}, rxLogCount);
  }
  const DecodedBody body(bytes);
  if (options.wizardWaiting || body.At(1) != REPLY_TYPE) return;
  switch (body.At(2)) {
    case CMD_VERSION:
      HandleVersionReply(body.At(4), body.At(3), result);
      break;
    case CMD_WRITE:
      if (body.At(3) != 0) {
        result.reply = Reply::Refused;
        break;
      }
      if (options.showMessages && rxLogCount < 2) AddLogEntry(result, WriteAcknowledged{}, rxLogCount);
      result.reply = Reply::WriteAccepted;
      break;
    case CMD_ERASE:
      if (body.At(3) != 0) {
        result.reply = Reply::Refused;
        break;
      }
      // Unlike a write's, an erase's acknowledgement is logged without "Show Message".
      if (rxLogCount < 2) AddLogEntry(result, EraseAcknowledged{}, rxLogCount);
      result.reply = Reply::EraseAccepted;
      break;
    default:
      break;
  }
}

// A version reply is always logged, whatever the count.
void ReplyReceiver::HandleVersionReply(std::uint8_t major, std::uint8_t minor, ReceiveResult& result) {
  result.reply = Reply::Version;
  VersionReply version{major, minor, oldVersionHex, restorePointHex};
  result.version = version;
  AddLogEntry(result, std::move(version), rxLogCount);
}

namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

}  // namespace

int DigitsToInt(const std::string& text) {
  std::size_t first = 0;
  std::size_t last = text.size();
  while (first < last && IsBlank(text[first])) ++first;
  while (last > first && IsBlank(text[last - 1])) --last;
  long long value = 0;
  for (std::size_t index = first; index < last; ++index) {
    const char c = text[index];
    const int digit = (c >= '0' && c <= '9') ? c - '0' : 0;
    value = value * 10 + digit;
    if (value > INT_MAX) return INT_MAX;
  }
  return static_cast<int>(value);
}

}  // namespace mx
