#pragma once

// Intel HEX firmware files: one reading of the text that checks every record
// up to the end record and keeps the records a transfer sends, typed and
// compact. Pure: the file itself is read by ReadFirmwareFile.

#include <cstdint>
#include <deque>
#include <iterator>
#include <optional>
#include <span>
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
// final line break adds no empty line. Firmware files are cut the same way.
std::vector<std::string> SplitLines(std::string_view text);

// One record as the transfer reads it.
struct HexRecord {
  std::uint8_t type = 0;
  std::uint16_t address = 0;
  // Type 04: the byte at characters 12 to 13, which sets the upper address
  // whatever the byte count says (the check reads the same characters).
  std::uint8_t upperByte = 0;
  std::span<const std::uint8_t> data;  // data records only
};

// The records a transfer walks, in file order: their data bytes back to back
// in one buffer and 8 bytes of table per record.
class HexRecords {
 public:
  std::size_t size() const { return table_.size(); }
  HexRecord operator[](std::size_t index) const;

  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = HexRecord;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = HexRecord;
    const_iterator() = default;
    const_iterator(const HexRecords* records, std::size_t index) : records_(records), index_(index) {}
    HexRecord operator*() const { return (*records_)[index_]; }
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
    const HexRecords* records_ = nullptr;
    std::size_t index_ = 0;
  };
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, table_.size()}; }

  // Writes `bytes` over the data of record `index` from `offset` on, for a
  // board's own copy of the records. Precondition: they fit in its data.
  void OverwriteData(std::size_t index, std::size_t offset, std::span<const std::uint8_t> bytes);

 private:
  friend class HexReader;

  struct Entry {
    std::uint32_t dataEnd;  // where its data bytes end in data_ (a file is at most 64 MiB)
    std::uint16_t address;
    std::uint8_t type;
    std::uint8_t upperByte;
  };
  static_assert(sizeof(Entry) == 8);

  std::vector<Entry> table_;
  std::vector<std::uint8_t> data_;
};

// A firmware file's text read once.
struct HexReading {
  HexCheck check;
  // The data, end and extended address records, also those after the end
  // record, while the file is not refused: once it is, none is kept (the
  // check goes on for the last refusal code).
  HexRecords records;
};

// Reads the lines of `text` as SplitLines cuts them: checks every one up to
// the end record, and keeps each record that the transfer sends. Its memory
// stays at 8 bytes per kept record and one per data byte (and 8 per address
// fault). Throws std::bad_alloc when the memory runs out.
HexReading ReadHexText(std::string_view text);

// The records of `text` read without a check, every line as one after the
// end record is read: for images made in code.
HexRecords ReadRecordsUnchecked(std::string_view text);

// The largest firmware file that is read: far more than the 16 MiB that
// 24-bit addresses describe would take as Intel HEX text.
inline constexpr std::uintmax_t kMaxHexFileBytes = std::uintmax_t{64} << 20;

}  // namespace mx
