#pragma once

// The wire format spoken with the Mx7410 bootloader. Frame:
//   55 55 | body | checksum | 04
// The checksum is the two's complement of the 8-bit sum of the body. In
// escapable fields the bytes 55, 04 and 05 travel behind an escape prefix 05.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace mx {

inline constexpr std::uint8_t FRAME_SYNC = 0x55;
inline constexpr std::uint8_t FRAME_END = 0x04;
inline constexpr std::uint8_t FRAME_ESC = 0x05;
inline constexpr std::uint8_t REPLY_TYPE = 0x01;

inline constexpr std::uint8_t CMD_VERSION = 0x00;
inline constexpr std::uint8_t CMD_END = 0x01;
inline constexpr std::uint8_t CMD_WRITE = 0x02;
inline constexpr std::uint8_t CMD_ERASE = 0x03;
inline constexpr std::uint8_t CMD_RESTORE = 0x09;

// The fixed byte strings, sent exactly as they stand.
inline constexpr std::array<std::uint8_t, 2> kWakeText{0x72, 0x65};  // "re", raw
inline constexpr std::array<std::uint8_t, 5> kVersionFrame{0x55, 0x55, 0x00, 0x00, 0x04};
inline constexpr std::array<std::uint8_t, 5> kEndFrame{0x55, 0x55, 0x01, 0xFF, 0x04};
// The 0x53 travels behind an escape prefix although it is not special.
inline constexpr std::array<std::uint8_t, 10> kEraseFrame{0x55, 0x55, 0x03, 0x05, 0x53, 0x00, 0x00, 0x00, 0xAA, 0x04};
inline constexpr std::array<std::uint8_t, 5> kRestoreFrame{0x55, 0x55, 0x09, 0xF7, 0x04};

// True for the three values that need an escape prefix in escapable fields.
constexpr bool NeedsEscape(std::uint8_t byte) { return byte == FRAME_SYNC || byte == FRAME_END || byte == FRAME_ESC; }

// Builds one CMD_WRITE frame in place:
//   55 55 02 LEN A0 A1 A2 DATA... CK 04
// LEN and the command go out unescaped; addresses, data and CK are escaped.
// LEN is 0xFF for a full block of 256 bytes, else the data byte count.
class WriteFrame {
 public:
  static constexpr std::size_t kBlockSize = 256;
  // 2 sync, command, LEN, 3 escaped address bytes, 256 escaped data bytes,
  // escaped checksum, end.
  static constexpr std::size_t kMaxFrameBytes = 525;

  // Starts a new block at address A2:A1:A0 (discarding any pending one).
  void Start(std::uint8_t a0, std::uint8_t a1, std::uint8_t a2);
  // Appends one data byte. Precondition: Pending() and !Full().
  void Append(std::uint8_t byte);
  // Writes LEN, the checksum and the end byte. Precondition: DataCount() > 0.
  void Close();
  // Forgets the block.
  void Clear();

  bool Pending() const { return size_ > 0; }
  bool Closed() const { return closed_; }
  bool Full() const { return dataCount_ == kBlockSize; }
  std::size_t DataCount() const { return dataCount_; }
  // The frame bytes built so far; the whole frame once Closed().
  std::span<const std::uint8_t> Bytes() const { return {bytes_.data(), size_}; }

 private:
  void Put(std::uint8_t byte) { bytes_[size_++] = byte; }
  void PutEscaped(std::uint8_t byte);

  std::array<std::uint8_t, kMaxFrameBytes> bytes_{};
  std::size_t size_ = 0;
  std::size_t dataCount_ = 0;
  std::uint32_t sum_ = 0;
  bool closed_ = false;
};

}  // namespace mx
