#pragma once

// The wire format as the device sees it: splitting the host's byte stream
// into frames and stray text, and building the device's reply frames.
//
// Frame: 55 55 | body | checksum | 04. In the host's frames every body byte
// after the command may travel behind an escape prefix 05, except the length
// byte of a write frame, which is always sent as it is. The device escapes
// every body byte and the checksum of its replies when they are 55, 04 or 05.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace mx::sim {

inline constexpr std::uint8_t kSync = 0x55;
inline constexpr std::uint8_t kEnd = 0x04;
inline constexpr std::uint8_t kEscape = 0x05;
inline constexpr std::uint8_t kXon = 0x7E;   // "~"
inline constexpr std::uint8_t kXoff = 0x7D;  // "}"

inline constexpr std::uint8_t kReplyType = 0x01;
inline constexpr std::uint8_t kCommandVersion = 0x00;
inline constexpr std::uint8_t kCommandEnd = 0x01;
inline constexpr std::uint8_t kCommandWrite = 0x02;
inline constexpr std::uint8_t kCommandErase = 0x03;
inline constexpr std::uint8_t kCommandRestore = 0x09;

// Longest host frame: sync, command, length, then address, 256 data bytes
// and checksum all escaped, end byte.
inline constexpr std::size_t kMaxHostFrameBytes = 2 + 1 + 1 + 2 * (3 + 256 + 1) + 1;

// Two's complement of the 8-bit sum, so that body plus checksum sums to 0.
std::uint8_t ChecksumOf(std::span<const std::uint8_t> body);
// Sync, body and `checksum` escaped, end byte.
std::vector<std::uint8_t> BuildFrame(std::span<const std::uint8_t> body, std::uint8_t checksum);
// The same with the correct checksum.
std::vector<std::uint8_t> BuildReplyFrame(std::span<const std::uint8_t> body);

// True when the bytes hold XON or XOFF, which the host's line would take as
// flow control.
bool CarriesFlowControl(std::span<const std::uint8_t> bytes);

// "55 55 00 00 04"; longer inputs are cut after `maxBytes` with a note.
std::string HexBytes(std::span<const std::uint8_t> bytes, std::size_t maxBytes = 32);

// A piece of the host's byte stream.
struct HostPiece {
  enum class Kind {
    Text,     // bytes outside any frame (the wake-up text "re", line noise)
    Frame,    // sync ... end
    Garbage,  // a frame cut short by a new sync or by running too long
  };
  Kind kind = Kind::Text;
  std::vector<std::uint8_t> raw;             // as on the wire
  std::vector<std::uint8_t> body;            // frames: unescaped body with the checksum as last byte
  std::chrono::steady_clock::time_point at;  // when the last byte arrived
};

// Splits the host's byte stream into pieces. Feed bytes in order; pieces come
// out as they complete. Stray bytes collect as text until a sync starts or the
// stream pauses (FlushText).
class HostStreamDecoder {
 public:
  void Feed(std::uint8_t byte, std::chrono::steady_clock::time_point at, std::vector<HostPiece>& out);
  // The stream has paused: hand out the stray bytes collected so far.
  void FlushText(std::vector<HostPiece>& out);

 private:
  void FeedOutsideFrame(std::uint8_t byte, std::vector<HostPiece>& out);
  void FeedInsideFrame(std::uint8_t byte, std::vector<HostPiece>& out);
  void StartFrame();
  void Emit(HostPiece::Kind kind, std::vector<std::uint8_t> raw, std::vector<HostPiece>& out);

  bool inFrame_ = false;
  bool escapePending_ = false;
  bool lengthByteNext_ = false;
  std::vector<std::uint8_t> text_;
  std::vector<std::uint8_t> raw_;
  std::vector<std::uint8_t> body_;
  std::chrono::steady_clock::time_point lastAt_;
};

}  // namespace mx::sim
