#pragma once

// Intel HEX text for tests, and the bytes an update of it must put on the
// wire. The write frames are built here byte by byte from the wire format,
// independently of the updater's own frame builder.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "protocol/Frames.h"

namespace mx::test {

// One Intel HEX record line, upper-case, with its checksum.
inline std::string HexRecordLine(std::uint8_t type, std::uint16_t address, const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(data.size()), static_cast<std::uint8_t>(address >> 8),
                                  static_cast<std::uint8_t>(address), type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  std::uint8_t sum = 0;
  for (const std::uint8_t byte : bytes) sum = static_cast<std::uint8_t>(sum + byte);
  bytes.push_back(static_cast<std::uint8_t>(0x100 - sum));
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string line = ":";
  for (const std::uint8_t byte : bytes) {
    line += kDigits[byte >> 4];
    line += kDigits[byte & 0x0F];
  }
  return line;
}

// Builds the text of an Intel HEX file line by line.
class HexImage {
 public:
  HexImage& Data(std::uint16_t address, const std::vector<std::uint8_t>& bytes) {
    return Line(HexRecordLine(0x00, address, bytes));
  }
  HexImage& Upper(std::uint16_t upper) {
    upper_ = upper;
    return Line(HexRecordLine(0x04, 0, {static_cast<std::uint8_t>(upper >> 8), static_cast<std::uint8_t>(upper)}));
  }
  HexImage& End() { return Line(":00000001FF"); }
  HexImage& Line(std::string line) {
    lines_.push_back(std::move(line));
    return *this;
  }
  // `bytes` from the full address `start` on, in records of `recordSize`
  // bytes, with an extended address record wherever the upper word changes.
  HexImage& Bytes(std::uint32_t start, const std::vector<std::uint8_t>& bytes, std::size_t recordSize = 16) {
    for (std::size_t offset = 0; offset < bytes.size(); offset += recordSize) {
      const std::uint32_t address = start + static_cast<std::uint32_t>(offset);
      const auto upper = static_cast<std::uint16_t>(address >> 16);
      if (upper_ ? *upper_ != upper : upper != 0) Upper(upper);
      const auto end = bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), offset + recordSize));
      Data(static_cast<std::uint16_t>(address), {bytes.begin() + static_cast<std::ptrdiff_t>(offset), end});
    }
    return *this;
  }
  std::string Text() const {
    std::string text;
    for (const std::string& line : lines_) text += line + "\r\n";
    return text;
  }

 private:
  std::vector<std::string> lines_;
  std::optional<std::uint16_t> upper_;
};

// `count` bytes of a varied pattern.
inline std::vector<std::uint8_t> Pattern(std::size_t count, std::uint8_t seed = 0) {
  std::vector<std::uint8_t> bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + seed + (i >> 8));
  return bytes;
}

// An image of `size` bytes in 16-byte records from address 0 of the upper
// word `upper`, with the frame marks and the flow-control characters among
// its bytes.
struct SampleImage {
  std::uint16_t upper = 0;
  std::vector<std::uint8_t> data;

  SampleImage(std::size_t size, std::uint16_t upperWord) : upper(upperWord) {
    static constexpr std::uint8_t kAwkward[] = {0x04, 0x05, 0x55, 0x7D, 0x7E};
    for (std::size_t i = 0; i < size; ++i) {
      data.push_back(i % 7 == 3 ? kAwkward[(i / 7) % 5] : static_cast<std::uint8_t>(i * 37 + 11));
    }
  }
  std::uint32_t Start() const { return std::uint32_t{upper} << 16; }
  std::string Text() const { return HexImage().Upper(upper).Bytes(Start(), data).End().Text(); }
};

inline std::vector<std::uint8_t> Bytes(std::span<const std::uint8_t> bytes) { return {bytes.begin(), bytes.end()}; }

inline std::vector<std::uint8_t> Concat(std::initializer_list<std::vector<std::uint8_t>> parts) {
  std::vector<std::uint8_t> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// The fixed frames, as the updater holds them.
inline const std::vector<std::uint8_t> kWakeAndVersion = Concat({Bytes(kWakeText), Bytes(kVersionFrame)});
inline const std::vector<std::uint8_t> kVersionRequest = Bytes(kVersionFrame);
inline const std::vector<std::uint8_t> kErase = Bytes(kEraseFrame);
inline const std::vector<std::uint8_t> kEndOfImage = Bytes(kEndFrame);
inline const std::vector<std::uint8_t> kRestore = Bytes(kRestoreFrame);

// 55 55 02 LEN A0 A1 A2 DATA CK 04 for 1 to 256 bytes (LEN FF for 256);
// address, data and checksum escaped.
inline std::vector<std::uint8_t> WriteFrameFor(std::uint32_t address, std::span<const std::uint8_t> data) {
  const auto escaped = [](std::vector<std::uint8_t>& frame, std::uint8_t byte) {
    if (byte == 0x55 || byte == 0x04 || byte == 0x05) frame.push_back(0x05);
    frame.push_back(byte);
  };
  const auto length = static_cast<std::uint8_t>(data.size() == 256 ? 0xFF : data.size());
  const std::uint8_t a0 = address & 0xFF, a1 = (address >> 8) & 0xFF, a2 = (address >> 16) & 0xFF;
  unsigned sum = 0x02 + length + a0 + a1 + a2;
  std::vector<std::uint8_t> frame{0x55, 0x55, 0x02, length};
  for (const std::uint8_t byte : {a0, a1, a2}) escaped(frame, byte);
  for (const std::uint8_t byte : data) {
    escaped(frame, byte);
    sum += byte;
  }
  escaped(frame, static_cast<std::uint8_t>(-sum));
  frame.push_back(0x04);
  return frame;
}

// The write frames of `data` from `start` on: 256 bytes each, the rest in
// the last; a rest of 255 bytes (whose length byte would say 256) as 254
// bytes and then 1.
inline std::vector<std::uint8_t> WriteFramesFor(std::uint32_t start, const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> frames;
  for (std::size_t offset = 0; offset < data.size();) {
    std::size_t count = std::min<std::size_t>(256, data.size() - offset);
    if (count == 255) count = 254;
    const auto frame = WriteFrameFor(start + static_cast<std::uint32_t>(offset), {data.data() + offset, count});
    frames.insert(frames.end(), frame.begin(), frame.end());
    offset += count;
  }
  return frames;
}

// Everything an update of `image` puts on the wire after the handshake:
// erase, the write frames, end of image, version request.
inline std::vector<std::uint8_t> UpdateStream(const SampleImage& image) {
  return Concat({kErase, WriteFramesFor(image.Start(), image.data), kEndOfImage, kVersionRequest});
}

}  // namespace mx::test
