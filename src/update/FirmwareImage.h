#pragma once

// A firmware file read and checked: the text lines that the transfer sends,
// or why the file was refused, in the words the window shows.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace mx {

class FirmwareImage {
 public:
  // `lines` must have passed CheckHexLines; `fileBytes` is the file they
  // were split from (none for an image made in code).
  explicit FirmwareImage(std::vector<std::string> lines, std::shared_ptr<const std::string> fileBytes = nullptr);

  // The file's lines, as split from it.
  const std::vector<std::string>& Lines() const { return lines_; }
  // Data records before the end record: the transfer's 100 % mark.
  std::int32_t DataRecordCount() const { return dataRecordCount_; }
  // Data bytes of those records.
  std::uint64_t DataBytes() const { return dataBytes_; }
  // The file's bytes exactly as read and checked; null for an image made in code.
  const std::shared_ptr<const std::string>& FileBytes() const { return fileBytes_; }

 private:
  std::vector<std::string> lines_;
  std::shared_ptr<const std::string> fileBytes_;
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
  // Once read, the file's bytes, refused or not: what a record says was checked.
  std::shared_ptr<const std::string> fileBytes;
  std::size_t linesExamined = 0;
  // One line per address step that is not 16 ("<full> - <previous full>").
  std::vector<std::string> addressFaults;
};

// Reads and checks the file at `path`. Never throws: running out of memory
// is a refusal too.
ImageReading ReadFirmwareFile(const std::string& path);

}  // namespace mx
