#include "update/HexFile.h"

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

constexpr std::uint32_t kUpperBeforeAnyType04 = 0xFFFF;
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

// The reader's state while it walks the lines of one file.
class HexChecker {
 public:
  HexCheck Run(const std::vector<std::string>& lines);

 private:
  // False when a field could not be converted; the check stops there.
  bool ExamineLine(std::string_view line);
  bool ExamineRecord(std::string_view line);
  bool CheckDataRecord(std::string_view line);
  bool CheckSum(std::string_view line, std::uint32_t byteCount);
  // ReadHexField that records the conversion error of an unreadable field.
  std::int32_t Read(std::string_view line, std::size_t position, std::size_t width);
  void Refuse(HexRefusal code) { result_.refusal = code; }

  HexCheck result_;
  std::uint32_t upper_ = kUpperBeforeAnyType04;
  std::uint32_t previousUpper_ = 0;
  std::uint32_t previousAddress_ = 0;
  bool endSeen_ = false;
};

HexCheck HexChecker::Run(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    if (!ExamineLine(line)) return result_;
    ++result_.linesExamined;
  }
  if (!endSeen_) Refuse(HexRefusal::IncompleteFile);
  return result_;
}

bool HexChecker::ExamineLine(std::string_view line) {
  if (endSeen_) return true;
  if (!StartsRecord(line)) {
    Refuse(HexRefusal::InvalidFileFormat);
    return true;
  }
  return ExamineRecord(line);
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
      result_.addressFaults.push_back(std::to_string(static_cast<std::int32_t>(full)) + " - " +
                                      std::to_string(static_cast<std::int32_t>(previousFull)));
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

}  // namespace

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

}  // namespace

std::vector<std::string> SplitLines(std::string_view text) {
  const std::size_t nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t brk = FindLineBreak(text, start);
    lines.emplace_back(text.substr(start, brk - start));
    if (brk == text.size()) break;
    start = brk + 1;
    if (text[brk] == '\r' && start < text.size() && text[start] == '\n') ++start;
  }
  return lines;
}

HexCheck CheckHexLines(const std::vector<std::string>& lines) { return HexChecker{}.Run(lines); }

HexText LoadHexText(const std::string& path) {
  HexText result;
  FileContents file = ReadRegularFile(path, kMaxHexFileBytes);
  if (!file.error.empty()) {
    result.error = "Cannot open file \"" + path + "\". " + file.error;
    return result;
  }
  result.lines = SplitLines(file.bytes);
  result.bytes = std::make_shared<const std::string>(std::move(file.bytes));
  return result;
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
