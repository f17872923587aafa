// Reads arbitrary bytes as a firmware file's text, as the program does, and
// checks what the reading promises: the lines counted, the refusal texts,
// and for an accepted file records the transfer can send up to the end
// record.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "update/FirmwareImage.h"
#include "update/HexFile.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

// What the transfer relies on after an accepted check.
void CheckAcceptedFile(const mx::HexReading& reading) {
  std::int32_t dataRecords = 0;
  std::uint64_t dataBytes = 0;
  bool endSeen = false;
  for (const mx::HexRecord record : reading.records) {
    Require(record.type == mx::kDataRecord || record.type == mx::kEndRecord || record.type == mx::kUpperAddressRecord);
    Require(record.type == mx::kDataRecord || record.data.empty());
    if (record.type == mx::kEndRecord) {
      endSeen = true;
      break;
    }
    if (record.type == mx::kDataRecord) {
      ++dataRecords;
      dataBytes += record.data.size();
    }
  }
  Require(endSeen);
  Require(dataRecords == reading.check.dataRecordCount);
  Require(reading.check.addressFaults.empty());
  const mx::FirmwareImage image(reading.records);
  Require(image.DataRecordCount() == dataRecords);
  Require(image.DataBytes() == dataBytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> lines = mx::SplitLines(text);
  for (const std::string& line : lines) Require(line.find_first_of("\r\n") == std::string::npos);

  const mx::HexReading reading = mx::ReadHexText(text);
  const mx::HexCheck& check = reading.check;
  Require(check.linesExamined <= lines.size());
  if (check.conversionError) {
    Require(check.conversionError->rfind("'$", 0) == 0);
  } else {
    Require(check.linesExamined == lines.size());
  }
  Require(!mx::RefusalText(check.refusal).empty() || check.refusal == mx::HexRefusal::None);
  if (check.Accepted()) {
    CheckAcceptedFile(reading);
  } else {
    Require(reading.records.size() == 0);
  }
  // Every record comes from its own line, each data byte from two digits.
  Require(reading.records.size() <= lines.size());
  std::size_t keptBytes = 0;
  for (const mx::HexRecord record : reading.records) keptBytes += record.data.size();
  Require(keptBytes * 2 <= size);
  return 0;
}
