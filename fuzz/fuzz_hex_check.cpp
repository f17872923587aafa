// Splits arbitrary bytes into lines, checks them as an Intel HEX file and
// reads every line as a record. An accepted file must be fully readable by
// the transfer up to its end record.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "update/HexFile.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

// What the transfer relies on after an accepted check.
void CheckAcceptedFile(const std::vector<std::string>& lines, const mx::HexCheck& check) {
  std::int32_t dataRecords = 0;
  bool endSeen = false;
  for (const std::string& line : lines) {
    const auto record = mx::ParseHexRecord(line);
    Require(record.has_value());
    Require(record->type == 0x00 || record->type == 0x01 || record->type == 0x04);
    if (record->type == 0x00) ++dataRecords;
    if (record->type == 0x01) {
      endSeen = true;
      break;
    }
  }
  Require(endSeen);
  Require(dataRecords == check.dataRecordCount);
  Require(check.addressFaults.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> lines = mx::SplitLines(text);
  for (const std::string& line : lines) Require(line.find_first_of("\r\n") == std::string::npos);

  const mx::HexCheck check = mx::CheckHexLines(lines);
  Require(check.linesExamined <= lines.size());
  if (check.conversionError) {
    Require(check.conversionError->rfind("'$", 0) == 0);
  } else {
    Require(check.linesExamined == lines.size());
  }
  Require(!mx::RefusalText(check.refusal).empty() || check.refusal == mx::HexRefusal::None);
  if (check.Accepted()) CheckAcceptedFile(lines, check);

  for (const std::string& line : lines) {
    const auto record = mx::ParseHexRecord(line);
    if (record) Require(line.size() >= 9 + 2 * record->data.size());
  }
  return 0;
}
