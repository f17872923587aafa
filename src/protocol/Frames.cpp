#include "protocol/Frames.h"

namespace mx {

namespace {
constexpr std::size_t kLengthIndex = 3;  // after 55 55 02
}

void WriteFrame::PutEscaped(std::uint8_t byte) {
  if (NeedsEscape(byte)) Put(FRAME_ESC);
  Put(byte);
}

void WriteFrame::Start(std::uint8_t a0, std::uint8_t a1, std::uint8_t a2) {
  Clear();
  Put(FRAME_SYNC);
  Put(FRAME_SYNC);
  Put(CMD_WRITE);
  Put(0);  // LEN, written by Close()
  PutEscaped(a0);
  PutEscaped(a1);
  PutEscaped(a2);
  sum_ = CMD_WRITE + a0 + a1 + a2;
}

void WriteFrame::Append(std::uint8_t byte) {
  PutEscaped(byte);
  sum_ += byte;
  ++dataCount_;
}

void WriteFrame::Close() {
  const auto length = static_cast<std::uint8_t>(Full() ? 0xFF : dataCount_);
  bytes_[kLengthIndex] = length;
  sum_ += length;
  PutEscaped(static_cast<std::uint8_t>((0x100 - (sum_ & 0xFF)) & 0xFF));
  Put(FRAME_END);
  closed_ = true;
}

void WriteFrame::Clear() {
  size_ = 0;
  dataCount_ = 0;
  sum_ = 0;
  closed_ = false;
}

}  // namespace mx
