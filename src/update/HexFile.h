#pragma once

// Intel HEX firmware files: loading the text, checking every record up to the
// end record, and reading single records for the transfer. Pure apart from
// LoadHexText, which reads the file.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mx {

// The record types a firmware file may hold.
inline constexpr std::uint8_t kDataRecord = 0x00;
inline constexpr std::uint8_t kEndRecord = 0x01;
inline constexpr std::uint8_t kUpperAddressRecord = 0x04;  // extended linear address

// Refusal codes of a checked file; the last one met is reported, except that
// a missing end record outranks all others.
enum class HexRefusal : int {
  None = 0,
  AddressNotFromZero = 1,
  AddressInconsistency = 2,
  InvalidRecordType = 3,
  ChecksumError = 4,
  InvalidFileFormat = 5,
  IncompleteFile = 6,
};

// "Address not starting from 0." ... "Incompleted file."; empty for None.
std::string RefusalText(HexRefusal code);

struct HexCheck {
  HexRefusal refusal = HexRefusal::None;  // None: accepted
  std::int32_t dataRecordCount = 0;       // type-00 records before the end record
  // The reader's line counter: every line, also those after the end record;
  // after a conversion stop, the lines before the one that stopped it.
  std::size_t linesExamined = 0;
  // One line per address step that is not 16: "<full> - <previous full>",
  // both in signed decimal (no line end).
  std::vector<std::string> addressFaults;
  // Set when a field could not be converted ("'$g0' is not a valid integer
  // value"); the check stopped at that line and the file counts as refused.
  std::optional<std::string> conversionError;

  bool Accepted() const { return refusal == HexRefusal::None && !conversionError; }
};

// Splits text into lines at CR, LF or CR LF; a NUL byte ends the text; a
// final line break adds no empty line. For firmware files and memo text alike.
std::vector<std::string> SplitLines(std::string_view text);

// Checks the records of `lines` up to the end record. Any number of lines.
HexCheck CheckHexLines(const std::vector<std::string>& lines);

struct HexText {
  std::vector<std::string> lines;
  // The file's bytes as read, shared so that the lines' source can travel
  // with the image without a copy or a second reading.
  std::shared_ptr<const std::string> bytes;
  // Empty on success; otherwise "Cannot open file \"<path>\". <reason>".
  std::string error;
};

// The largest firmware file that is read: far more than the 16 MiB that
// 24-bit addresses describe would take as Intel HEX text.
inline constexpr std::uintmax_t kMaxHexFileBytes = std::uintmax_t{64} << 20;

// Reads the whole file at `path` as 8-bit text and splits it into lines. A
// path that is no regular file, or a file larger than kMaxHexFileBytes, is
// refused at once, unread. Throws std::bad_alloc when the memory runs out.
HexText LoadHexText(const std::string& path);

// One record as the transfer reads it.
struct HexRecord {
  std::uint8_t type = 0;
  std::uint16_t address = 0;
  std::vector<std::uint8_t> data;
  // Type 04: the byte at characters 12 to 13, which sets the upper address
  // whatever the byte count says (the checker reads the same characters).
  std::uint8_t upperByte = 0;
};

// Reads the byte count, address, type and data bytes of `line` (and the
// upper byte of a type-04 record); nullopt for an empty line, one without ":",
// one too short for these fields or with fields that are not hexadecimal. The
// checksum is neither read nor tested here.
std::optional<HexRecord> ParseHexRecord(std::string_view line);

}  // namespace mx
