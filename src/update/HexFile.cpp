#include "update/HexFile.h"

#include <algorithm>
#include <array>
#include <limits>

#include "update/FileAccess.h"

namespace mx {

namespace {

// Character positions (1-based) of the record fields.
constexpr std::size_t kCountPos = 2;
constexpr std::size_t kAddressPos = 4;
constexpr std::size_t kAddressWidth = 4;
constexpr std::size_t kTypePos = 8;
constexpr std::size_t kDataPos = 10;
constexpr std::size_t kUpperBytePos = 12;  // second data byte of a type-04 record
constexpr std::size_t kByteWidth = 2;
// Byte count, two address bytes, type and checksum.
constexpr std::size_t kFrameBytes = 5;

constexpr std::uint32_t kRecordStep = 16;

constexpr std::uint8_t kNotHex = 0xFF;

// Digit values by character, kNotHex for everything else.
constexpr std::array<std::uint8_t, 256> MakeHexDigitTable() {
  std::array<std::uint8_t, 256> table{};
  table.fill(kNotHex);
  for (int i = 0; i < 10; ++i) table['0' + i] = static_cast<std::uint8_t>(i);
  for (int i = 0; i < 6; ++i) {
    table['A' + i] = static_cast<std::uint8_t>(10 + i);
    table['a' + i] = static_cast<std::uint8_t>(10 + i);
  }
  return table;
}

constexpr std::array<std::uint8_t, 256> kHexDigits = MakeHexDigitTable();

constexpr std::int32_t kUnreadable = -1;

// The field of `width` (at most 4) hex digits at 1-based `position`;
// kUnreadable when a character is not a hex digit or the line ends inside
// the field. A plain integer rather than an optional: this runs for every
// byte of the file and the optional cost a store-forwarding stall per call.
std::int32_t ReadHexField(std::string_view line, std::size_t position, std::size_t width) {
  if (line.size() < position - 1 + width) return kUnreadable;
  std::int32_t value = 0;
  for (std::size_t index = position - 1; index < position - 1 + width; ++index) {
    const std::uint8_t digit = kHexDigits[static_cast<unsigned char>(line[index])];
    if (digit == kNotHex) return kUnreadable;
    value = value * 16 + digit;
  }
  return value;
}

std::string ConversionErrorText(std::string_view line, std::size_t position, std::size_t width) {
  const std::string_view field = position - 1 < line.size() ? line.substr(position - 1, width) : std::string_view{};
  std::string text = "'$";
  text += field;
  text += "' is not a valid integer value";
  return text;
}

bool StartsRecord(std::string_view line) { return !line.empty() && line.front() == ':'; }

}  // namespace

std::string AddressFaultText(const AddressFault& fault) {
  return std::to_string(fault.full) + " - " + std::to_string(fault.previous);
}

bool HexChecker::Examine(std::string_view line) {
  if (stopped_) return false;
  if (!endSeen_) {
    if (!StartsRecord(line)) {
      Refuse(HexRefusal::InvalidFileFormat);
    } else if (!ExamineRecord(line)) {
      stopped_ = true;
      return false;
    }
  }
  ++result_.linesExamined;
  return true;
}

HexCheck HexChecker::Finish() {
  if (!endSeen_ && !stopped_) Refuse(HexRefusal::IncompleteFile);
  return std::move(result_);
}

bool HexChecker::ExamineRecord(std::string_view line) {
  const std::int32_t byteCount = Read(line, kCountPos, kByteWidth);
  if (byteCount == kUnreadable) return false;
  const std::int32_t type = Read(line, kTypePos, kByteWidth);
  if (type == kUnreadable) return false;
  if (type == kDataRecord) {
    if (!CheckDataRecord(line)) return false;
  } else if (type == kEndRecord) {
    endSeen_ = true;
  } else if (type == kUpperAddressRecord) {
    const std::int32_t upper = Read(line, kUpperBytePos, kByteWidth);
    if (upper == kUnreadable) return false;
    upper_ = static_cast<std::uint32_t>(upper);
  } else {
    Refuse(HexRefusal::InvalidRecordType);
  }
  return CheckSum(line, static_cast<std::uint32_t>(byteCount));
}

// The first data record must start at 0 unless no upper address is in force;
// every later one must lie exactly 16 addresses above its predecessor.
bool HexChecker::CheckDataRecord(std::string_view line) {
  const std::int32_t read = Read(line, kAddressPos, kAddressWidth);
  if (read == kUnreadable) return false;
  const auto address = static_cast<std::uint32_t>(read);
  if (result_.dataRecordCount == 0) {
    if (upper_ != 0 && address != 0) Refuse(HexRefusal::AddressNotFromZero);
  } else {
    // 32-bit wrap-around, as the addresses are compared as signed 32-bit values.
    const std::uint32_t full = upper_ * 0x10000u + address;
    const std::uint32_t previousFull = previousUpper_ * 0x10000u + previousAddress_;
    if (full - previousFull != kRecordStep) {
      Refuse(HexRefusal::AddressInconsistency);
      result_.addressFaults.push_back({static_cast<std::int32_t>(full), static_cast<std::int32_t>(previousFull)});
    }
  }
  previousUpper_ = upper_;
  previousAddress_ = address;
  if (result_.dataRecordCount < std::numeric_limits<std::int32_t>::max()) ++result_.dataRecordCount;
  return true;
}

// Byte count, address, type, data and checksum sum to 0 modulo 256.
bool HexChecker::CheckSum(std::string_view line, std::uint32_t byteCount) {
  std::uint32_t sum = 0;
  for (std::size_t index = 0; index < byteCount + kFrameBytes; ++index) {
    const std::int32_t byte = Read(line, kCountPos + index * kByteWidth, kByteWidth);
    if (byte == kUnreadable) return false;
    sum += static_cast<std::uint32_t>(byte);
  }
  if ((sum & 0xFF) != 0) Refuse(HexRefusal::ChecksumError);
  return true;
}

std::int32_t HexChecker::Read(std::string_view line, std::size_t position, std::size_t width) {
  const std::int32_t value = ReadHexField(line, position, width);
  if (value == kUnreadable) result_.conversionError = ConversionErrorText(line, position, width);
  return value;
}

std::string RefusalText(HexRefusal code) {
  switch (code) {
    case HexRefusal::None:
      return {};
    case HexRefusal::AddressNotFromZero:
      return "Address not starting from 0.";
    case HexRefusal::AddressInconsistency:
      return "Address inconsistency.";
    case HexRefusal::InvalidRecordType:
      return "Invalid record type.";
    case HexRefusal::ChecksumError:
      return "Checksum error.";
    case HexRefusal::InvalidFileFormat:
      return "Invalid file format.";
    case HexRefusal::IncompleteFile:
      return "Incompleted file.";
  }
  return {};
}

namespace {

// Index of the first CR or LF at or after `start`, or text.size(). A plain
// loop: find_first_of with a set looks up every character in the set.
std::size_t FindLineBreak(std::string_view text, std::size_t start) {
  while (start < text.size() && text[start] != '\r' && text[start] != '\n') ++start;
  return start;
}

// Calls `onLine` with each line of `text` as SplitLines cuts them; stops when
// it returns false.
template <typename OnLine>
void ForEachLine(std::string_view text, OnLine&& onLine) {
  const std::size_t nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t brk = FindLineBreak(text, start);
    if (!onLine(text.substr(start, brk - start))) return;
    if (brk == text.size()) return;
    start = brk + 1;
    if (text[brk] == '\r' && start < text.size() && text[start] == '\n') ++start;
  }
}

}  // namespace

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  ForEachLine(text, [&lines](std::string_view line) {
    lines.emplace_back(line);
    return true;
  });
  return lines;
}

HexCheck CheckHexLines(const std::vector<std::string>& lines) {
  HexChecker checker;
  for (const std::string& line : lines) {
    if (!checker.Examine(line)) break;
  }
  return checker.Finish();
}

HexLines::HexLines(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    text_ += line;
    ends_.push_back(static_cast<std::uint32_t>(text_.size()));
  }
}

HexLines::HexLines(std::string buffer, std::vector<std::uint32_t> ends)
    : text_(std::move(buffer)), ends_(std::move(ends)) {
  text_.resize(ends_.empty() ? 0 : ends_.back());  // keeps the capacity: no second copy of the file
}

std::string_view HexLines::operator[](std::size_t index) const {
  const std::uint32_t start = index == 0 ? 0 : ends_[index - 1];
  return std::string_view(text_).substr(start, ends_[index] - start);
}

HexText LoadHexText(const std::string& path) {
  HexText result;
  const FileContents file = ReadRegularFile(path, kMaxHexFileBytes);
  if (!file.error.empty()) {
    result.error = "Cannot open file \"" + path + "\". " + file.error;
    return result;
  }
  result.lines = SplitLines(file.bytes);
  return result;
}

ScannedHexFile ScanHexFile(const std::string& path, const std::function<void(std::string_view bytes)>& onFileBytes) {
  ScannedHexFile scanned;
  FileContents file = ReadRegularFile(path, kMaxHexFileBytes);
  if (!file.error.empty()) {
    scanned.error = "Cannot open file \"" + path + "\". " + file.error;
    return scanned;
  }
  if (onFileBytes) onFileBytes(file.bytes);
  // Kept lines move to the front of the file's own buffer: a line never
  // starts before the end of the kept text, since line breaks are dropped.
  std::string& buffer = file.bytes;
  std::vector<std::uint32_t> ends;
  std::size_t kept = 0;
  HexChecker checker;
  ForEachLine(buffer, [&](std::string_view line) {
    if (!checker.Examine(line)) return false;
    // Lines that hold no record are skipped by the transfer; those before
    // the end record refuse the file anyway.
    if (checker.Refused() || !ParseHexRecord(line)) return true;
    std::copy(line.begin(), line.end(), buffer.begin() + static_cast<std::ptrdiff_t>(kept));
    kept += line.size();
    ends.push_back(static_cast<std::uint32_t>(kept));
    return true;
  });
  scanned.check = checker.Finish();
  if (scanned.check.Accepted()) scanned.lines = HexLines(std::move(buffer), std::move(ends));
  return scanned;
}

std::optional<HexRecord> ParseHexRecord(std::string_view line) {
  if (!StartsRecord(line)) return std::nullopt;
  const std::int32_t byteCount = ReadHexField(line, kCountPos, kByteWidth);
  const std::int32_t address = ReadHexField(line, kAddressPos, kAddressWidth);
  const std::int32_t type = ReadHexField(line, kTypePos, kByteWidth);
  if (byteCount == kUnreadable || address == kUnreadable || type == kUnreadable) return std::nullopt;
  HexRecord record;
  record.type = static_cast<std::uint8_t>(type);
  record.address = static_cast<std::uint16_t>(address);
  record.data.reserve(static_cast<std::size_t>(byteCount));
  for (std::int32_t index = 0; index < byteCount; ++index) {
    const std::int32_t byte = ReadHexField(line, kDataPos + static_cast<std::size_t>(index) * kByteWidth, kByteWidth);
    if (byte == kUnreadable) return std::nullopt;
    record.data.push_back(static_cast<std::uint8_t>(byte));
  }
  if (record.type == kUpperAddressRecord) {
    const std::int32_t upper = ReadHexField(line, kUpperBytePos, kByteWidth);
    if (upper == kUnreadable) return std::nullopt;
    record.upperByte = static_cast<std::uint8_t>(upper);
  }
  return record;
}

}  // namespace mx
