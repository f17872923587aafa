#include "update/FirmwareImage.h"

#include <new>
#include <optional>

#include "update/HexFile.h"

namespace mx {

FirmwareImage::FirmwareImage(HexLines lines, std::string fileDigest)
    : lines_(std::move(lines)), fileDigest_(std::move(fileDigest)) {
  for (const std::string_view line : lines_) {
    const std::optional<HexRecord> record = ParseHexRecord(line);
    if (!record) continue;
    if (record->type == kEndRecord) break;
    if (record->type != kDataRecord) continue;
    ++dataRecordCount_;
    dataBytes_ += record->data.size();
  }
}

namespace {

ImageReading Read(const std::string& path, const FileDigest& digest) {
  ImageReading reading;
  ScannedHexFile scanned = ScanHexFile(path, [&](std::string_view bytes) {
    if (digest) reading.fileDigest = digest(bytes);
  });
  if (!scanned.error.empty()) {
    reading.refusal = std::move(scanned.error);
    reading.refusalBeeps = true;
    return reading;
  }
  reading.fileRead = true;
  HexCheck& check = scanned.check;
  reading.linesExamined = check.linesExamined;
  reading.addressFaults = std::move(check.addressFaults);
  if (check.conversionError) {
    reading.refusal = std::move(*check.conversionError);
    reading.refusalBeeps = true;
  } else if (!check.Accepted()) {
    reading.refusal = "File import failure : " + RefusalText(check.refusal);
  } else {
    reading.image = std::make_shared<const FirmwareImage>(std::move(scanned.lines), reading.fileDigest);
  }
  return reading;
}

}  // namespace

ImageReading ReadFirmwareFile(const std::string& path, const FileDigest& digest) {
  try {
    return Read(path, digest);
  } catch (const std::bad_alloc&) {
    ImageReading reading;
    reading.refusal = "Cannot open file \"" + path + "\". Not enough memory";
    reading.refusalBeeps = true;
    return reading;
  }
}

}  // namespace mx
