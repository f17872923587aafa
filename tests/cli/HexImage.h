#pragma once

// Small Intel HEX images for the command-line tests, and the frames the
// updater must send for them, built here byte by byte from the wire format.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace mx::test {

inline std::string HexRecordLine(std::uint8_t type, std::uint16_t address, const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(data.size()), static_cast<std::uint8_t>(address >> 8),
                                  static_cast<std::uint8_t>(address), type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  unsigned sum = 0;
  for (const std::uint8_t byte : bytes) sum += byte;
  bytes.push_back(static_cast<std::uint8_t>(-sum));
  std::string line = ":";
  for (const std::uint8_t byte : bytes) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02X", byte);
    line += pair;
  }
  return line;
}

// `size` data bytes in 16-byte records from address 0 under the upper
// address word `upper`, with the bytes that need escaping or are XON/XOFF.
struct HexImage {
  std::uint16_t upper = 0;
  std::vector<std::uint8_t> data;

  HexImage(std::size_t size, std::uint16_t upperWord) : upper(upperWord) {
    static constexpr std::uint8_t kAwkward[] = {0x04, 0x05, 0x55, 0x7D, 0x7E};
    for (std::size_t i = 0; i < size; ++i) {
      data.push_back(i % 7 == 3 ? kAwkward[(i / 7) % 5] : static_cast<std::uint8_t>(i * 37 + 11));
    }
  }

  std::string Text() const {
    std::string text =
        HexRecordLine(0x04, 0, {static_cast<std::uint8_t>(upper >> 8), static_cast<std::uint8_t>(upper)}) + "\r\n";
    for (std::size_t offset = 0; offset < data.size(); offset += 16) {
      const std::size_t end = std::min(offset + 16, data.size());
      text +=
          HexRecordLine(0x00, static_cast<std::uint16_t>(offset), {data.begin() + offset, data.begin() + end}) + "\r\n";
    }
    return text + HexRecordLine(0x01, 0, {}) + "\r\n";
  }
};

inline void AppendEscaped(std::vector<std::uint8_t>& frame, std::uint8_t byte) {
  if (byte == 0x55 || byte == 0x04 || byte == 0x05) frame.push_back(0x05);
  frame.push_back(byte);
}

// 55 55 02 LEN A0 A1 A2 DATA CK 04; address, data and checksum escaped.
inline std::vector<std::uint8_t> WriteFrameFor(std::uint32_t address, const std::uint8_t* data, std::size_t count) {
  const auto length = static_cast<std::uint8_t>(count == 256 ? 0xFF : count);
  const std::uint8_t a0 = address & 0xFF, a1 = (address >> 8) & 0xFF, a2 = (address >> 16) & 0xFF;
  unsigned sum = 0x02 + length + a0 + a1 + a2;
  std::vector<std::uint8_t> frame{0x55, 0x55, 0x02, length};
  for (const std::uint8_t byte : {a0, a1, a2}) AppendEscaped(frame, byte);
  for (std::size_t i = 0; i < count; ++i) {
    AppendEscaped(frame, data[i]);
    sum += data[i];
  }
  AppendEscaped(frame, static_cast<std::uint8_t>(-sum));
  frame.push_back(0x04);
  return frame;
}

inline const std::vector<std::uint8_t> kWakeAndVersion{0x72, 0x65, 0x55, 0x55, 0x00, 0x00, 0x04};
inline const std::vector<std::uint8_t> kVersionRequest{0x55, 0x55, 0x00, 0x00, 0x04};
inline const std::vector<std::uint8_t> kErase{0x55, 0x55, 0x03, 0x05, 0x53, 0x00, 0x00, 0x00, 0xAA, 0x04};
inline const std::vector<std::uint8_t> kEndOfImage{0x55, 0x55, 0x01, 0xFF, 0x04};
inline const std::vector<std::uint8_t> kRestore{0x55, 0x55, 0x09, 0xF7, 0x04};

// Everything an update of `image` puts on the wire after the handshake:
// erase, one write frame per 256 bytes, end of image, version request.
inline std::vector<std::uint8_t> UpdateStream(const HexImage& image) {
  std::vector<std::uint8_t> stream = kErase;
  for (std::size_t offset = 0; offset < image.data.size(); offset += 256) {
    const std::size_t count = std::min<std::size_t>(256, image.data.size() - offset);
    const auto frame = WriteFrameFor((std::uint32_t{image.upper} << 16) | offset, image.data.data() + offset, count);
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  stream.insert(stream.end(), kEndOfImage.begin(), kEndOfImage.end());
  stream.insert(stream.end(), kVersionRequest.begin(), kVersionRequest.end());
  return stream;
}

}  // namespace mx::test
