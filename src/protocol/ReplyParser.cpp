#include "protocol/ReplyParser.h"

#include <climits>

#include "protocol/Frames.h"

namespace mx {

namespace {

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
  const std::vector<std::uint8_t> frame(buffer_.begin(), buffer_.begin() + length_);
  if (options.wizardWaiting) {
    result.log.emplace_back(WizardFrameSeen{frame});
  } else {
    result.log.emplace_back(LoggedFrame{frame});
  }
  Decode(options, result);
  Arm();
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
  if (options.wizardWaiting) return;
  result.log.emplace_back(ChecksumChecked{});
  const DecodedBody body(bytes);
  if (body.At(1) != REPLY_TYPE) return;
  switch (body.At(2)) {
    case CMD_VERSION:
      HandleVersionReply(body.At(4), body.At(3), result);
      break;
    case CMD_WRITE:
      if (body.At(3) != 0) {
        result.reply = Reply::Refused;
        break;
      }
      result.log.emplace_back(WriteAcknowledged{});
      result.reply = Reply::WriteAccepted;
      break;
    case CMD_ERASE:
      if (body.At(3) != 0) {
        result.reply = Reply::Refused;
        break;
      }
      result.log.emplace_back(EraseAcknowledged{});
      result.reply = Reply::EraseAccepted;
      break;
    default:
      break;
  }
}

void ReplyReceiver::HandleVersionReply(std::uint8_t major, std::uint8_t minor, ReceiveResult& result) {
  result.reply = Reply::Version;
  result.version = VersionReply{major, minor, {}, {}};
  result.log.emplace_back(*result.version);
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
