#include "CheckFile.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>

#include "JsonEvent.h"
#include "PortRun.h"
#include "Sha256.h"
#include "update/FirmwareImage.h"
#include "update/HexFile.h"
#include "update/Transfer.h"

namespace mx::flash {

namespace {

std::string Address(std::uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%06X", address);
  return text;
}

}  // namespace

int CheckFile(const Options& options, std::ostream& out) {
  const std::string file = AbsoluteFile(options);
  const ImageReading reading = ReadFirmwareFile(file, Sha256Hex);
  ImageLayout layout;
  if (reading.image) layout = DescribeImage(*reading.image);
  const bool hasData = reading.image && reading.image->DataRecordCount() > 0;
  const int status = hasData ? kExitSuccess : kExitFileRefused;

  if (options.json) {
    nlohmann::json check = JsonEvent("check");
    check.update({{"file", file}, {"exit", status}, {"result", hasData ? "ok" : "file-refused"}});
    AddFileHash(check, reading.fileDigest);  // of the bytes just checked, not a second reading
    if (reading.image) {
      check["data_records"] = layout.dataRecords;
      check["data_bytes"] = layout.dataBytes;
      check["first_address"] = layout.firstAddress;
      check["last_address"] = layout.lastAddress;
      check["write_blocks"] = layout.writeFrames;
      if (!hasData) check["messages"] = {kNoDataRefusal};
    } else {
      check["messages"] = {reading.refusal};
    }
    out << check.dump() << '\n';
    return status;
  }
  if (!reading.image) {
    out << reading.refusal << '\n';
    return status;
  }
  out << "data records: " << layout.dataRecords << '\n'
      << "data bytes: " << layout.dataBytes << '\n'
      << "first address: " << Address(layout.firstAddress) << '\n'
      << "last address: " << Address(layout.lastAddress) << '\n'
      << "write blocks: " << layout.writeFrames << '\n';
  if (!hasData) out << kNoDataRefusal << '\n';
  return status;
}

}  // namespace mx::flash
