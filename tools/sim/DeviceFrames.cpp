#include "sim/DeviceFrames.h"

#include <algorithm>
#include <cstdio>

namespace mx::sim {

namespace {

// Stray text is handed out at the latest after this many bytes.
constexpr std::size_t kMaxTextBytes = 256;

bool NeedsEscape(std::uint8_t byte) { return byte == kSync || byte == kEnd || byte == kEscape; }

void AppendEscaped(std::vector<std::uint8_t>& frame, std::uint8_t byte) {
  if (NeedsEscape(byte)) frame.push_back(kEscape);
  frame.push_back(byte);
}

}  // namespace

std::uint8_t ChecksumOf(std::span<const std::uint8_t> body) {
  unsigned sum = 0;
  for (std::uint8_t byte : body) sum += byte;
  return static_cast<std::uint8_t>(0x100 - (sum & 0xFF));
}

std::vector<std::uint8_t> BuildFrame(std::span<const std::uint8_t> body, std::uint8_t checksum) {
  std::vector<std::uint8_t> frame{kSync, kSync};
  for (std::uint8_t byte : body) AppendEscaped(frame, byte);
  AppendEscaped(frame, checksum);
  frame.push_back(kEnd);
  return frame;
}

std::vector<std::uint8_t> BuildReplyFrame(std::span<const std::uint8_t> body) {
  return BuildFrame(body, ChecksumOf(body));
}

bool CarriesFlowControl(std::span<const std::uint8_t> bytes) {
  return std::any_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == kXon || b == kXoff; });
}

std::string HexBytes(std::span<const std::uint8_t> bytes, std::size_t maxBytes) {
  std::string text;
  const std::size_t shown = std::min(bytes.size(), maxBytes);
  for (std::size_t i = 0; i < shown; ++i) {
    char pair[4];
    std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
    if (!text.empty()) text += ' ';
    text += pair;
  }
  if (shown < bytes.size()) text += " ... (" + std::to_string(bytes.size()) + " bytes)";
  return text;
}

void HostStreamDecoder::Feed(std::uint8_t byte, std::chrono::steady_clock::time_point at, std::vector<HostPiece>& out) {
  lastAt_ = at;
  if (inFrame_) {
    FeedInsideFrame(byte, out);
  } else {
    FeedOutsideFrame(byte, out);
  }
}

void HostStreamDecoder::FlushText(std::vector<HostPiece>& out) {
  // A trailing 55 may be the first half of a sync; keep it.
  const bool keepSync = !text_.empty() && text_.back() == kSync;
  if (keepSync) text_.pop_back();
  if (!text_.empty()) Emit(HostPiece::Kind::Text, std::move(text_), out);
  text_.clear();
  if (keepSync) text_.push_back(kSync);
}

void HostStreamDecoder::FeedOutsideFrame(std::uint8_t byte, std::vector<HostPiece>& out) {
  if (byte == kSync && !text_.empty() && text_.back() == kSync) {
    text_.pop_back();
    FlushText(out);
    StartFrame();
    return;
  }
  text_.push_back(byte);
  if (text_.size() >= kMaxTextBytes) FlushText(out);
}

void HostStreamDecoder::FeedInsideFrame(std::uint8_t byte, std::vector<HostPiece>& out) {
  raw_.push_back(byte);
  if (lengthByteNext_ || escapePending_) {
    body_.push_back(byte);  // taken literally
    escapePending_ = false;
  } else if (byte == kEscape) {
    escapePending_ = true;
  } else if (byte == kEnd) {
    inFrame_ = false;
    HostPiece piece{HostPiece::Kind::Frame, std::move(raw_), std::move(body_), lastAt_};
    out.push_back(std::move(piece));
    raw_.clear();
    body_.clear();
    return;
  } else if (byte == kSync) {
    // The host escapes every 55 inside a frame: an open 55 starts a new one.
    raw_.pop_back();
    if (raw_.size() == 2) {
      Emit(HostPiece::Kind::Garbage, {kSync}, out);  // 55 55 55: the first was stray
      return;
    }
    inFrame_ = false;
    Emit(HostPiece::Kind::Garbage, std::move(raw_), out);
    raw_.clear();
    text_.assign(1, kSync);
    return;
  } else {
    body_.push_back(byte);
  }
  // The write command's length byte always travels unescaped.
  lengthByteNext_ = body_.size() == 1 && body_[0] == kCommandWrite && !escapePending_;
  if (raw_.size() >= kMaxHostFrameBytes) {
    inFrame_ = false;
    Emit(HostPiece::Kind::Garbage, std::move(raw_), out);
    raw_.clear();
  }
}

void HostStreamDecoder::StartFrame() {
  inFrame_ = true;
  escapePending_ = false;
  lengthByteNext_ = false;
  raw_.assign({kSync, kSync});
  body_.clear();
}

void HostStreamDecoder::Emit(HostPiece::Kind kind, std::vector<std::uint8_t> raw, std::vector<HostPiece>& out) {
  HostPiece piece;
  piece.kind = kind;
  piece.raw = std::move(raw);
  piece.at = lastAt_;
  out.push_back(std::move(piece));
}

}  // namespace mx::sim
