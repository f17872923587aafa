#include "update/FirmwareImage.h"

#include <new>
#include <optional>

#include "update/HexFile.h"

namespace mx {

FirmwareImage::FirmwareImage(std::vector<std::string> lines, std::shared_ptr<const std::string> fileBytes)
    : lines_(std::move(lines)), fileBytes_(std::move(fileBytes)) {
  for (const std::string& line : lines_) {
    const std::optional<HexRecord> record = ParseHexRecord(line);
    if (!record) continue;
    if (record->type == kEndRecord) break;
    if (record->type != kDataRecord) continue;
    ++dataRecordCount_;
    dataBytes_ += record->data.size();
  }
}

namespace {

ImageReading Read(const std::string& path) {
  ImageReading reading;
  HexText text = LoadHexText(path);
  if (!text.error.empty()) {
    reading.refusal = std::move(text.error);
    reading.refusalBeeps = true;
    return reading;
  }
  reading.fileRead = true;
  reading.fileBytes = text.bytes;
  HexCheck check = CheckHexLines(text.lines);
  reading.linesExamined = check.linesExamined;
  reading.addressFaults = std::move(check.addressFaults);
  if (check.conversionError) {
    reading.refusal = std::move(*check.conversionError);
    reading.refusalBeeps = true;
  } else if (!check.Accepted()) {
    reading.refusal = "File import failure : " + RefusalText(check.refusal);
  } else {
    reading.image = std::make_shared<const FirmwareImage>(std::move(text.lines), std::move(text.bytes));
  }
  return reading;
}

}  // namespace

ImageReading ReadFirmwareFile(const std::string& path) {
  try {
    return Read(path);
  } catch (const std::bad_alloc&) {
    ImageReading reading;
    reading.refusal = "Cannot open file \"" + path + "\". Not enough memory";
    reading.refusalBeeps = true;
    return reading;
  }
}

}  // namespace mx
