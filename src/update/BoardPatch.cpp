#include "update/BoardPatch.h"

#include <algorithm>
#include <charconv>
#include <limits>

#include "update/HexFile.h"

namespace mx {

namespace {

constexpr std::uint64_t kAddressSpace = std::uint64_t{kMaxDeviceAddress} + 1;

// Adds where the record's bytes [recordStart + skip, segmentEnd) meet the
// patch [address, address + length), all within one run of addresses.
void AddOverlap(std::vector<PatchPlace>& places, PatchPlace place, std::uint64_t segmentStart, std::uint64_t segmentEnd,
                std::uint32_t address, std::size_t length) {
  const std::uint64_t first = std::max<std::uint64_t>(segmentStart, address);
  const std::uint64_t end = std::min<std::uint64_t>(segmentEnd, std::uint64_t{address} + length);
  if (first >= end) return;
  place.first = static_cast<std::uint32_t>(first);
  place.count = static_cast<std::size_t>(end - first);
  places.push_back(place);
}

}  // namespace

// A data record's bytes go to consecutive device addresses from
// (upper << 16 | address) on; the frames carry 24 bits, so a record at the
// very top of the address space wraps round to 0.
std::vector<PatchPlace> PatchPlaces(const FirmwareImage& image, std::uint32_t address, std::size_t length) {
  std::vector<PatchPlace> places;
  std::uint8_t upperAddress = 0;
  bool afterEnd = false;
  const HexRecords& records = image.Records();
  for (std::size_t index = 0; index < records.size(); ++index) {
    const HexRecord record = records[index];
    if (record.type == kUpperAddressRecord) upperAddress = record.upperByte;
    if (record.type == kEndRecord) afterEnd = true;
    if (record.type != kDataRecord || record.data.empty()) continue;
    const std::uint32_t start = (std::uint32_t{upperAddress} << 16) | record.address;
    const std::uint64_t end = std::uint64_t{start} + record.data.size();
    const PatchPlace place{index, start, 0, 0, afterEnd};
    AddOverlap(places, place, start, std::min(end, kAddressSpace), address, length);
    if (end > kAddressSpace) AddOverlap(places, place, 0, end - kAddressSpace, address, length);
  }
  return places;
}

bool CoveredBy(const FirmwareImage& image, std::uint32_t address, std::size_t length) {
  if (std::uint64_t{address} + length > kAddressSpace) return false;
  std::vector<bool> covered(length, false);
  for (const PatchPlace& place : PatchPlaces(image, address, length)) {
    if (place.afterEndRecord) continue;
    std::fill_n(covered.begin() + (place.first - address), place.count, true);
  }
  return std::all_of(covered.begin(), covered.end(), [](bool byte) { return byte; });
}

std::shared_ptr<const FirmwareImage> PatchedImage(const FirmwareImage& image, std::span<const BoardPatch> patches) {
  HexRecords records = image.Records();  // a copy: the read image stays as it is
  for (const BoardPatch& patch : patches) {
    for (const PatchPlace& place : PatchPlaces(image, patch.address, patch.bytes.size())) {
      const std::size_t offset = (place.first - place.recordStart) & kMaxDeviceAddress;
      const auto from = std::span(patch.bytes).subspan(place.first - patch.address, place.count);
      records.OverwriteData(place.recordIndex, offset, from);
    }
  }
  return std::make_shared<const FirmwareImage>(std::move(records), image.FileDigest());
}

// ---- numbers ----------------------------------------------------------------

namespace {

constexpr std::size_t kMaxDecimalDigits = 20;  // 18446744073709551615
constexpr std::size_t kMaxHexDigits = 16;
constexpr char kHexDigits[] = "0123456789ABCDEF";

bool LittleEndian(NumberFormat::Kind kind) {
  using Kind = NumberFormat::Kind;
  return kind == Kind::U16Le || kind == Kind::U32Le || kind == Kind::U64Le;
}

bool Binary(NumberFormat::Kind kind) { return kind != NumberFormat::Kind::Decimal && kind != NumberFormat::Kind::Hex; }

std::uint64_t Base(NumberFormat::Kind kind) { return kind == NumberFormat::Kind::Decimal ? 10 : 16; }

std::optional<std::size_t> DigitCount(std::string_view text, std::size_t most) {
  std::size_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size() || value < 1 || value > most) {
    return std::nullopt;
  }
  return value;
}

int DigitValue(std::uint8_t character, std::uint64_t base) {
  int value = -1;
  if (character >= '0' && character <= '9') value = character - '0';
  if (character >= 'A' && character <= 'F') value = character - 'A' + 10;
  if (character >= 'a' && character <= 'f') value = character - 'a' + 10;
  return value < static_cast<int>(base) ? value : -1;
}

}  // namespace

std::size_t NumberFormat::Width() const {
  switch (kind) {
    case Kind::U16Le:
    case Kind::U16Be:
      return 2;
    case Kind::U32Le:
    case Kind::U32Be:
      return 4;
    case Kind::U64Le:
      return 8;
    case Kind::Decimal:
    case Kind::Hex:
      break;
  }
  return digits;
}

std::string NumberFormat::Name() const {
  switch (kind) {
    case Kind::U16Le:
      return "u16le";
    case Kind::U16Be:
      return "u16be";
    case Kind::U32Le:
      return "u32le";
    case Kind::U32Be:
      return "u32be";
    case Kind::U64Le:
      return "u64le";
    case Kind::Decimal:
      return "dec:" + std::to_string(digits);
    case Kind::Hex:
      break;
  }
  return "hex:" + std::to_string(digits);
}

std::optional<NumberFormat> ParseNumberFormat(std::string_view text) {
  using Kind = NumberFormat::Kind;
  static constexpr std::pair<std::string_view, Kind> kFixed[] = {
      {"u16le", Kind::U16Le}, {"u16be", Kind::U16Be}, {"u32le", Kind::U32Le},
      {"u32be", Kind::U32Be}, {"u64le", Kind::U64Le},
  };
  for (const auto& [name, kind] : kFixed) {
    if (text == name) return NumberFormat{kind, 0};
  }
  if (text.starts_with("dec:")) {
    if (const auto digits = DigitCount(text.substr(4), kMaxDecimalDigits)) return NumberFormat{Kind::Decimal, *digits};
  }
  if (text.starts_with("hex:")) {
    if (const auto digits = DigitCount(text.substr(4), kMaxHexDigits)) return NumberFormat{Kind::Hex, *digits};
  }
  return std::nullopt;
}

std::uint64_t LargestNumber(const NumberFormat& format) {
  constexpr std::uint64_t kAll = std::numeric_limits<std::uint64_t>::max();
  if (Binary(format.kind)) return format.Width() == 8 ? kAll : (std::uint64_t{1} << (8 * format.Width())) - 1;
  const std::uint64_t base = Base(format.kind);
  std::uint64_t largest = 0;
  for (std::size_t digit = 0; digit < format.digits; ++digit) {
    if (largest > (kAll - (base - 1)) / base) return kAll;  // more digits than 64 bits fill
    largest = largest * base + (base - 1);
  }
  return largest;
}

std::optional<std::vector<std::uint8_t>> FormatNumber(std::uint64_t number, const NumberFormat& format) {
  if (number > LargestNumber(format)) return std::nullopt;
  const std::size_t width = format.Width();
  std::vector<std::uint8_t> bytes(width);
  for (std::size_t index = 0; index < width; ++index) {
    const std::size_t position = LittleEndian(format.kind) ? index : width - 1 - index;
    if (Binary(format.kind)) {
      bytes[position] = static_cast<std::uint8_t>(number);
      number >>= 8;
    } else {
      bytes[position] = static_cast<std::uint8_t>(kHexDigits[number % Base(format.kind)]);
      number /= Base(format.kind);
    }
  }
  return bytes;
}

std::optional<std::uint64_t> ReadNumber(std::span<const std::uint8_t> bytes, const NumberFormat& format) {
  const std::size_t width = format.Width();
  if (bytes.size() != width) return std::nullopt;
  std::uint64_t number = 0;
  for (std::size_t index = 0; index < width; ++index) {
    const std::uint8_t byte = bytes[LittleEndian(format.kind) ? width - 1 - index : index];
    if (Binary(format.kind)) {
      number = number << 8 | byte;
      continue;
    }
    const int digit = DigitValue(byte, Base(format.kind));
    const std::uint64_t base = Base(format.kind);
    if (digit < 0 || number > (std::numeric_limits<std::uint64_t>::max() - digit) / base) return std::nullopt;
    number = number * base + static_cast<std::uint64_t>(digit);
  }
  return number;
}

// ---- board data -------------------------------------------------------------

std::optional<std::vector<std::uint8_t>> ParseHexBytes(std::string_view line) {
  const std::size_t begin = line.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return std::nullopt;
  line = line.substr(begin, line.find_last_not_of(" \t") + 1 - begin);
  std::vector<std::uint8_t> bytes;
  for (std::size_t index = 0; index < line.size();) {
    const char separator = line[index];
    if (!bytes.empty() && (separator == ' ' || separator == ':' || separator == '-')) ++index;  // one, between bytes
    if (index + 2 > line.size()) return std::nullopt;
    const int high = DigitValue(static_cast<std::uint8_t>(line[index]), 16);
    const int low = DigitValue(static_cast<std::uint8_t>(line[index + 1]), 16);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(high << 4 | low));
    index += 2;
  }
  return bytes;
}

std::string HexText(std::span<const std::uint8_t> bytes) {
  std::string text;
  for (const std::uint8_t byte : bytes) {
    text += kHexDigits[byte >> 4];
    text += kHexDigits[byte & 0x0F];
  }
  return text;
}

}  // namespace mx
