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
// Byte count, two address bytes and type: what precedes the data.
constexpr std::size_t kHeadBytes = 4;

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
// the field.
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

// Decodes `count` bytes of two hex digits each from 1-based `position` on;
// false when the line ends first or a character is no hex digit. The digits
// are tested all at once: kNotHex is the only value with high bits.
bool DecodeBytes(std::string_view line, std::size_t position, std::size_t count, std::uint8_t* out) {
  if (line.size() < position - 1 + count * kByteWidth) return false;
  const auto* digits = reinterpret_cast<const unsigned char*>(line.data()) + position - 1;
  std::uint8_t seen = 0;
  for (std::size_t index = 0; index < count; ++index) {
    const std::uint8_t high = kHexDigits[digits[2 * index]];
    const std::uint8_t low = kHexDigits[digits[2 * index + 1]];
    seen |= high | low;
    out[index] = static_cast<std::uint8_t>(high << 4 | low);
  }
  return (seen & 0xF0) == 0;
}

// The bytes of one record line: byte count, address, type, data and (when
// asked for) the checksum, and the upper byte of a type-04 record.
struct RecordBytes {
  std::array<std::uint8_t, kFrameBytes + 255> bytes;
  std::uint8_t upperByte = 0;

  std::uint8_t Count() const { return bytes[0]; }
  std::uint16_t Address() const { return static_cast<std::uint16_t>(bytes[1] << 8 | bytes[2]); }
  std::uint8_t Type() const { return bytes[3]; }
  std::span<const std::uint8_t> Data() const { return std::span(bytes).subspan(kHeadBytes, Count()); }

  // False when a field is missing or not hexadecimal; the checksum is read
  // only `withChecksum`. The upper byte is read whatever the byte count says.
  bool Decode(std::string_view line, bool withChecksum) {
    if (!DecodeBytes(line, kCountPos, kHeadBytes, bytes.data())) return false;
    const std::size_t tail = Count() + (withChecksum ? 1u : 0u);
    if (!DecodeBytes(line, kDataPos, tail, bytes.data() + kHeadBytes)) return false;
    return Type() != kUpperAddressRecord || DecodeBytes(line, kUpperBytePos, 1, &upperByte);
  }
};

std::string ConversionErrorText(std::string_view line, std::size_t position, std::size_t width) {
  const std::string_view field = position - 1 < line.size() ? line.substr(position - 1, width) : std::string_view{};
  std::string text = "'$";
  text += field;
  text += "' is not a valid integer value";
  return text;
}

bool StartsRecord(std::string_view line) { return !line.empty() && line.front() == ':'; }

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

// A record's fields from its decoded bytes: every one is there.
class DecodedFields {
 public:
  explicit DecodedFields(const RecordBytes& record) : record_(record) {}
  std::int32_t Count() const { return record_.Count(); }
  std::int32_t Type() const { return record_.Type(); }
  std::int32_t Address() const { return record_.Address(); }
  std::int32_t UpperByte() const { return record_.upperByte; }
  std::int32_t Sum(std::uint32_t byteCount) const {
    std::uint32_t sum = 0;
    for (std::size_t index = 0; index < byteCount + kFrameBytes; ++index) sum += record_.bytes[index];
    return static_cast<std::int32_t>(sum & 0xFF);
  }

 private:
  const RecordBytes& record_;
};

// A record's fields read one by one from the text, in the check's order, so
// that the first unreadable one is the one named.
class TextFields {
 public:
  TextFields(std::string_view line, std::optional<std::string>& conversionError)
      : line_(line), conversionError_(conversionError) {}
  std::int32_t Count() { return Read(kCountPos, kByteWidth); }
  std::int32_t Type() { return Read(kTypePos, kByteWidth); }
  std::int32_t Address() { return Read(kAddressPos, kAddressWidth); }
  std::int32_t UpperByte() { return Read(kUpperBytePos, kByteWidth); }
  std::int32_t Sum(std::uint32_t byteCount) {
    std::uint32_t sum = 0;
    for (std::size_t index = 0; index < byteCount + kFrameBytes; ++index) {
      const std::int32_t byte = Read(kCountPos + index * kByteWidth, kByteWidth);
      if (byte == kUnreadable) return kUnreadable;
      sum += static_cast<std::uint32_t>(byte);
    }
    return static_cast<std::int32_t>(sum & 0xFF);
  }

 private:
  std::int32_t Read(std::size_t position, std::size_t width) {
    const std::int32_t value = ReadHexField(line_, position, width);
    if (value == kUnreadable) conversionError_ = ConversionErrorText(line_, position, width);
    return value;
  }

  std::string_view line_;
  std::optional<std::string>& conversionError_;
};

}  // namespace

// Reads a file's lines as they come: checks each up to the end record and
// keeps the records the transfer sends while the file is not refused.
class HexReader {
 public:
  // Unchecked, every line is read as a line after the end record is.
  HexReader(std::size_t textSize, bool checked) : endSeen_(!checked) {
    // At most one record per 10 characters (":" and 8 digits, a line break)
    // and one data byte per 2; pages reserved but never written cost no memory.
    HexRecords& records = reading_.records;
    records.table_.reserve(textSize / 10 + 1);
    records.data_.reserve(textSize / 2);
    AdviseLargeBuffer(records.table_.data(), records.table_.capacity() * sizeof(HexRecords::Entry));
    AdviseLargeBuffer(records.data_.data(), records.data_.capacity());
  }

  // False once a field could not be converted: the reading has stopped there.
  bool Read(std::string_view line);
  HexReading Finish();

 private:
  bool Refused() const { return check_.refusal != HexRefusal::None || check_.conversionError.has_value(); }
  void Refuse(HexRefusal code) { check_.refusal = code; }
  bool ExamineRecord(std::string_view line);
  template <typename Fields>
  bool ExamineFields(Fields& fields);
  void CheckDataAddress(std::uint32_t address);
  void Keep(const RecordBytes& record);

  HexReading reading_;
  HexCheck& check_ = reading_.check;
  RecordBytes record_;
  std::uint32_t upper_ = 0xFFFF;  // before any type-04 record
  std::uint32_t previousUpper_ = 0;
  std::uint32_t previousAddress_ = 0;
  bool endSeen_ = false;
};

bool HexReader::Read(std::string_view line) {
  if (endSeen_) {
    // Not checked; the transfer sends what it can read of it.
    if (StartsRecord(line) && record_.Decode(line, false)) Keep(record_);
  } else if (!StartsRecord(line)) {
    Refuse(HexRefusal::InvalidFileFormat);
  } else if (!ExamineRecord(line)) {
    return false;
  }
  ++check_.linesExamined;
  return true;
}

HexReading HexReader::Finish() {
  if (!endSeen_ && !check_.conversionError) Refuse(HexRefusal::IncompleteFile);
  if (!check_.Accepted()) reading_.records = {};
  return std::move(reading_);
}

// A line whose fields all decode is checked from its bytes; any other is
// read field by field for the text of the first unreadable one.
bool HexReader::ExamineRecord(std::string_view line) {
  if (!record_.Decode(line, true)) {
    TextFields fields(line, check_.conversionError);
    return ExamineFields(fields) && !check_.conversionError;
  }
  DecodedFields fields(record_);
  ExamineFields(fields);
  Keep(record_);
  return true;
}

template <typename Fields>
bool HexReader::ExamineFields(Fields& fields) {
  const std::int32_t byteCount = fields.Count();
  if (byteCount == kUnreadable) return false;
  const std::int32_t type = fields.Type();
  if (type == kUnreadable) return false;
  if (type == kDataRecord) {
    const std::int32_t address = fields.Address();
    if (address == kUnreadable) return false;
    CheckDataAddress(static_cast<std::uint32_t>(address));
  } else if (type == kEndRecord) {
    endSeen_ = true;
  } else if (type == kUpperAddressRecord) {
    const std::int32_t upper = fields.UpperByte();
    if (upper == kUnreadable) return false;
    upper_ = static_cast<std::uint32_t>(upper);
  } else {
    Refuse(HexRefusal::InvalidRecordType);
  }
  // Byte count, address, type, data and checksum sum to 0 modulo 256.
  const std::int32_t sum = fields.Sum(static_cast<std::uint32_t>(byteCount));
  if (sum == kUnreadable) return false;
  if (sum != 0) Refuse(HexRefusal::ChecksumError);
  return true;
}

// The first data record must start at 0 unless no upper address is in force;
// every later one must lie exactly 16 addresses above its predecessor.
void HexReader::CheckDataAddress(std::uint32_t address) {
  if (check_.dataRecordCount == 0) {
    if (upper_ != 0 && address != 0) Refuse(HexRefusal::AddressNotFromZero);
  } else {
    // 32-bit wrap-around, as the addresses are compared as signed 32-bit values.
    const std::uint32_t full = upper_ * 0x10000u + address;
    const std::uint32_t previousFull = previousUpper_ * 0x10000u + previousAddress_;
    if (full - previousFull != kRecordStep) {
      Refuse(HexRefusal::AddressInconsistency);
      check_.addressFaults.push_back({static_cast<std::int32_t>(full), static_cast<std::int32_t>(previousFull)});
    }
  }
  previousUpper_ = upper_;
  previousAddress_ = address;
  if (check_.dataRecordCount < std::numeric_limits<std::int32_t>::max()) ++check_.dataRecordCount;
}

// Records of other types are no part of a transfer; nothing is kept of a
// refused file.
void HexReader::Keep(const RecordBytes& record) {
  const std::uint8_t type = record.Type();
  if (Refused() || (type != kDataRecord && type != kEndRecord && type != kUpperAddressRecord)) return;
  std::vector<std::uint8_t>& data = reading_.records.data_;
  if (type == kDataRecord) data.insert(data.end(), record.Data().begin(), record.Data().end());
  reading_.records.table_.push_back({static_cast<std::uint32_t>(data.size()), record.Address(), type,
                                     type == kUpperAddressRecord ? record.upperByte : std::uint8_t{0}});
}

HexRecord HexRecords::operator[](std::size_t index) const {
  const Entry& entry = table_[index];
  const std::uint32_t start = index == 0 ? 0 : table_[index - 1].dataEnd;
  return {entry.type, entry.address, entry.upperByte, std::span(data_).subspan(start, entry.dataEnd - start)};
}

void HexRecords::OverwriteData(std::size_t index, std::size_t offset, std::span<const std::uint8_t> bytes) {
  const std::uint32_t start = index == 0 ? 0 : table_[index - 1].dataEnd;
  std::copy(bytes.begin(), bytes.end(), data_.begin() + static_cast<std::ptrdiff_t>(start + offset));
}

namespace {

HexReading Read(std::string_view text, bool checked) {
  HexReader reader(text.size(), checked);
  ForEachLine(text, [&reader](std::string_view line) { return reader.Read(line); });
  return reader.Finish();
}

}  // namespace

HexReading ReadHexText(std::string_view text) { return Read(text, true); }

HexRecords ReadRecordsUnchecked(std::string_view text) { return Read(text, false).records; }

std::string AddressFaultText(const AddressFault& fault) {
  return std::to_string(fault.full) + " - " + std::to_string(fault.previous);
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

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  ForEachLine(text, [&lines](std::string_view line) {
    lines.emplace_back(line);
    return true;
  });
  return lines;
}

}  // namespace mx
