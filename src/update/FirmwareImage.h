#pragma once

// A firmware file read and checked: the records that the transfer sends, or
// why the file was refused, in the words the window shows.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "update/HexFile.h"

namespace mx {

// Names a file's bytes, a hash for instance; the core computes none itself.
using FileDigest = std::function<std::string(std::string_view bytes)>;

class FirmwareImage {
 public:
  // `records` come from an accepted reading; `fileDigest` names the bytes
  // they were read from (empty for an image made in code).
  explicit FirmwareImage(HexRecords records, std::string fileDigest = {});
  // The records of `lines`, unchecked: an image made in code.
  explicit FirmwareImage(const std::vector<std::string>& lines);

  // The file's data, end and extended address records, in file order.
  const HexRecords& Records() const { return records_; }
  // Data records before the end record: the transfer's 100 % mark.
  std::int32_t DataRecordCount() const { return dataRecordCount_; }
  // Data bytes of those records.
  std::uint64_t DataBytes() const { return dataBytes_; }
  // The digest of the file's bytes exactly as read and checked.
  const std::string& FileDigest() const { return fileDigest_; }

 private:
  HexRecords records_;
  std::string fileDigest_;
  std::int32_t dataRecordCount_ = 0;
  std::uint64_t dataBytes_ = 0;
};

// What reading a firmware file came to.
struct ImageReading {
  std::shared_ptr<const FirmwareImage> image;  // set when the file was accepted
  // Why it was not: "Cannot open file \"...\". <reason>", "'$g0' is not a
  // valid integer value", or "File import failure : <reason>"; empty when
  // accepted.
  std::string refusal;
  bool refusalBeeps = false;  // the errors that stop a reading sound the beep
  bool fileRead = false;      // the file's text was read (and its lines examined)
  // Once read, the digest of its bytes, refused or not (when one was asked for).
  std::string fileDigest;
  std::size_t linesExamined = 0;
  // One per address step that is not 16 (AddressFaultText makes its line).
  AddressFaults addressFaults;
};

// Reads the file at `path` (a regular file of at most kMaxHexFileBytes) and
// checks it in one reading; `digest` (if set) names its bytes as read,
// before they are checked. Its memory stays at the file's size plus what the
// image keeps. Never throws: running out of memory is a refusal too.
ImageReading ReadFirmwareFile(const std::string& path, const FileDigest& digest = {});
// The same for a file's bytes already read (from a sealed package).
ImageReading ReadFirmwareBytes(std::string bytes, const FileDigest& digest = {});

}  // namespace mx
