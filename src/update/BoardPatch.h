#pragma once

// Bytes of one board's own: a serial number or a line of board data (a MAC
// address, a key, calibration), written into that board's copy of the image
// at a 24-bit device address as the write frames carry it. Pure: the image
// read once stays untouched, and every board gets a copy of its own.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "update/FirmwareImage.h"

namespace mx {

// The highest device address a write frame carries (A2:A1:A0).
inline constexpr std::uint32_t kMaxDeviceAddress = 0xFFFFFF;

// `bytes` written from device address `address` on.
struct BoardPatch {
  std::uint32_t address = 0;
  std::vector<std::uint8_t> bytes;
};

// Where one data record holds bytes of a patch.
struct PatchPlace {
  std::size_t recordIndex = 0;    // in FirmwareImage::Records()
  std::uint32_t recordStart = 0;  // device address of the record's first byte
  std::uint32_t first = 0;        // device address of the first patched byte in it
  std::size_t count = 0;          // patched bytes in it
  bool afterEndRecord = false;    // the copy behind the end record
};

// Every data record holding any of the `length` bytes from `address` on, in
// file order: where records overlap, every copy.
std::vector<PatchPlace> PatchPlaces(const FirmwareImage& image, std::uint32_t address, std::size_t length);

// True when each of the bytes lies in a data record before the end record,
// which every transfer sends; false when any would fall outside the image's
// data or past the 24-bit address space.
bool CoveredBy(const FirmwareImage& image, std::uint32_t address, std::size_t length);
inline bool CoveredBy(const FirmwareImage& image, const BoardPatch& patch) {
  return CoveredBy(image, patch.address, patch.bytes.size());
}

// A new image: the same records with each patch's bytes in every data record
// that holds them, later patches over earlier ones. It shares nothing with
// `image` and keeps the digest of the file as read.
std::shared_ptr<const FirmwareImage> PatchedImage(const FirmwareImage& image, std::span<const BoardPatch> patches);

// How a number is laid out in memory.
struct NumberFormat {
  enum class Kind { U16Le, U16Be, U32Le, U32Be, U64Le, Decimal, Hex };
  Kind kind = Kind::U32Le;
  std::size_t digits = 0;  // Decimal, Hex: ASCII digits, zero-padded

  std::size_t Width() const;  // bytes in memory
  std::string Name() const;   // as written on the command line: "u32le", "dec:8"
  bool operator==(const NumberFormat&) const = default;
};

// "u16le", "u16be", "u32le", "u32be", "u64le", "dec:N" (N from 1 to 20) or
// "hex:N" (N from 1 to 16); nothing for anything else.
std::optional<NumberFormat> ParseNumberFormat(std::string_view text);

// The largest number the format holds.
std::uint64_t LargestNumber(const NumberFormat& format);

// The number's bytes in `format` (hex digits upper-case); nothing when the
// number does not fit.
std::optional<std::vector<std::uint8_t>> FormatNumber(std::uint64_t number, const NumberFormat& format);

// The number read back from bytes in `format`; nothing when they are not
// `format.Width()` bytes or not its digits.
std::optional<std::uint64_t> ReadNumber(std::span<const std::uint8_t> bytes, const NumberFormat& format);

// One line of board data: hex byte pairs, optionally separated by single
// spaces, colons or dashes ("00 1A 2B", "00:1a:2b", "001A2B"). Nothing for
// an empty line, an odd digit or any other character.
std::optional<std::vector<std::uint8_t>> ParseHexBytes(std::string_view line);

// "001A2B": bytes as upper-case hex, for records.
std::string HexText(std::span<const std::uint8_t> bytes);

}  // namespace mx
