#include "update/FirmwareImage.h"

#include <new>

#include "update/FileAccess.h"
#include "update/HexFile.h"

namespace mx {

FirmwareImage::FirmwareImage(HexRecords records, std::string fileDigest)
    : records_(std::move(records)), fileDigest_(std::move(fileDigest)) {
  for (const HexRecord record : records_) {
    if (record.type == kEndRecord) break;
    if (record.type != kDataRecord) continue;
    ++dataRecordCount_;
    dataBytes_ += record.data.size();
  }
}

namespace {

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

}  // namespace

FirmwareImage::FirmwareImage(const std::vector<std::string>& lines)
    : FirmwareImage(ReadRecordsUnchecked(JoinLines(lines))) {}

namespace {

std::string CannotOpen(const std::string& path, const std::string& reason) {
  return "Cannot open file \"" + path + "\". " + reason;
}

ImageReading ReadText(std::string bytes, const FileDigest& digest) {
  ImageReading reading;
  if (digest) reading.fileDigest = digest(bytes);
  HexReading hex = ReadHexText(bytes);
  bytes = {};  // the text is done with before the image is made
  reading.fileRead = true;
  HexCheck& check = hex.check;
  reading.linesExamined = check.linesExamined;
  reading.addressFaults = std::move(check.addressFaults);
  if (check.conversionError) {
    reading.refusal = std::move(*check.conversionError);
    reading.refusalBeeps = true;
  } else if (!check.Accepted()) {
    reading.refusal = "File import failure : " + RefusalText(check.refusal);
  } else {
    reading.image = std::make_shared<const FirmwareImage>(std::move(hex.records), reading.fileDigest);
  }
  return reading;
}

ImageReading Read(const std::string& path, const FileDigest& digest) {
  ImageReading reading;
  FileContents file = ReadRegularFile(path, kMaxHexFileBytes);
  if (!file.error.empty()) {
    reading.refusal = CannotOpen(path, file.error);
    reading.refusalBeeps = true;
    return reading;
  }
  return ReadText(std::move(file.bytes), digest);
}

}  // namespace

ImageReading ReadFirmwareFile(const std::string& path, const FileDigest& digest) {
  try {
    return Read(path, digest);
  } catch (const std::bad_alloc&) {
    ImageReading reading;
    reading.refusal = CannotOpen(path, "Not enough memory");
    reading.refusalBeeps = true;
    return reading;
  }
}

ImageReading ReadFirmwareBytes(std::string bytes, const FileDigest& digest) {
  try {
    return ReadText(std::move(bytes), digest);
  } catch (const std::bad_alloc&) {
    ImageReading reading;
    reading.refusal = "Not enough memory";
    reading.refusalBeeps = true;
    return reading;
  }
}

}  // namespace mx
