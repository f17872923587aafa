#pragma once

// Intel HEX firmware files: loading the text, checking every record up to the
// end record, and reading single records for the transfer. Pure apart from
// LoadHexText, which reads the file.

#include <cstdint>
#include <deque>
#include <functional>
#include <iterator>
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

// An address step that is not 16: the full addresses of a data record and
// of the one before it, as signed 32-bit values. Kept as numbers, not text,
// so that a file of many such steps does not fill the memory.
struct AddressFault {
  std::int32_t full = 0;
  std::int32_t previous = 0;
  bool operator==(const AddressFault&) const = default;
};

using AddressFaults = std::deque<AddressFault>;

// "<full> - <previous full>", both in signed decimal (no line end): the line
// the window shows for a fault.
std::string AddressFaultText(const AddressFault& fault);

struct HexCheck {
  HexRefusal refusal = HexRefusal::None;  // None: accepted
  std::int32_t dataRecordCount = 0;       // type-00 records before the end record
  // The reader's line counter: every line, also those after the end record;
  // after a conversion stop, the lines before the one that stopped it.
  std::size_t linesExamined = 0;
  // One per address step that is not 16, in file order; a deque, which grows
  // without copying what it holds.
  AddressFaults addressFaults;
  // Set when a field could not be converted ("'$g0' is not a valid integer
  // value"); the check stopped at that line and the file counts as refused.
  std::optional<std::string> conversionError;

  bool Accepted() const { return refusal == HexRefusal::None && !conversionError; }
};

// Splits text into lines at CR, LF or CR LF; a NUL byte ends the text; a
// final line break adds no empty line. For firmware files and memo text alike.
std::vector<std::string> SplitLines(std::string_view text);

// Checks a file's records line by line, as they come, up to the end record.
class HexChecker {
 public:
  // Examines the next line. False once a field could not be converted: the
  // check has stopped there and later lines are not looked at.
  bool Examine(std::string_view line);
  // A refusal code or a conversion error has been met: the file will be
  // refused, whatever follows.
  bool Refused() const { return result_.refusal != HexRefusal::None || result_.conversionError.has_value(); }
  // After the last line: the check of the whole file.
  HexCheck Finish();

 private:
  bool ExamineRecord(std::string_view line);
  bool CheckDataRecord(std::string_view line);
  bool CheckSum(std::string_view line, std::uint32_t byteCount);
  // ReadHexField that records the conversion error of an unreadable field.
  std::int32_t Read(std::string_view line, std::size_t position, std::size_t width);
  void Refuse(HexRefusal code) { result_.refusal = code; }

  HexCheck result_;
  std::uint32_t upper_ = 0xFFFF;  // before any type-04 record
  std::uint32_t previousUpper_ = 0;
  std::uint32_t previousAddress_ = 0;
  bool endSeen_ = false;
  bool stopped_ = false;
};

// Checks the records of `lines` up to the end record. Any number of lines.
HexCheck CheckHexLines(const std::vector<std::string>& lines);

// The lines of a firmware file that a transfer reads, kept compactly: their
// texts back to back in one buffer and where each ends (a file is at most
// kMaxHexFileBytes, so 32 bits hold every offset).
class HexLines {
 public:
  HexLines() = default;
  explicit HexLines(const std::vector<std::string>& lines);
  // Takes `buffer`, whose first ends.back() bytes are the lines' texts.
  HexLines(std::string buffer, std::vector<std::uint32_t> ends);

  std::size_t size() const { return ends_.size(); }
  std::string_view operator[](std::size_t index) const;

  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = std::string_view;
    const_iterator() = default;
    const_iterator(const HexLines* lines, std::size_t index) : lines_(lines), index_(index) {}
    std::string_view operator*() const { return (*lines_)[index_]; }
    const_iterator& operator++() {
      ++index_;
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator before = *this;
      ++index_;
      return before;
    }
    bool operator==(const const_iterator& other) const { return index_ == other.index_; }

   private:
    const HexLines* lines_ = nullptr;
    std::size_t index_ = 0;
  };
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, ends_.size()}; }

 private:
  std::string text_;
  std::vector<std::uint32_t> ends_;
};

struct HexText {
  std::vector<std::string> lines;
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

// A firmware file read and checked in one pass.
struct ScannedHexFile {
  // Empty when the file was read; otherwise "Cannot open file \"<path>\". <reason>".
  std::string error;
  HexCheck check;
  // The lines that hold a record, while the file is not refused: once it is,
  // no line is kept (the check goes on for the last refusal code).
  HexLines lines;
};

// Reads the file at `path` as LoadHexText does, hands its bytes to
// `onFileBytes` (if set) before anything else, and checks it as
// CheckHexLines does, keeping the lines in the file's own buffer. Its memory
// stays at the file's size plus 4 bytes per kept line (and 8 per address
// fault). Throws std::bad_alloc when the memory runs out.
ScannedHexFile ScanHexFile(const std::string& path,
                           const std::function<void(std::string_view bytes)>& onFileBytes = {});

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
