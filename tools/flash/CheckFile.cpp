#include "CheckFile.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>

#include "BoardImages.h"
#include "JsonEvent.h"
#include "PortRun.h"
#include "Sha256.h"
#include "SignedFile.h"
#include "update/FirmwareImage.h"
#include "update/HexFile.h"
#include "update/Transfer.h"

namespace mx::flash {

namespace {

std::string Address(std::uint32_t address) { return DeviceAddressText(address); }

// One place a board's bytes go, for a person or as JSON.
struct ShownWrite {
  std::string what;  // "serial number (u32le)", "board data (6 bytes)"
  std::uint32_t address = 0;
  std::size_t length = 0;
};

// Data records counted from 1 in file order, as a person counts them.
std::size_t DataRecordNumber(const FirmwareImage& image, std::size_t recordIndex) {
  std::size_t number = 0;
  for (std::size_t index = 0; index <= recordIndex; ++index) number += image.Records()[index].type == kDataRecord;
  return number;
}

std::vector<ShownWrite> BoardWritesOf(const Options& options, const BoardDataReading& data) {
  const ByteLines& lines = data.lines;
  const BoardWrites& writes = options.boardWrites;
  std::vector<ShownWrite> shown;
  if (writes.Serial()) {
    shown.push_back(
        {"serial number (" + writes.serialFormat.Name() + ")", *writes.serialAddress, writes.serialFormat.Width()});
  }
  if (writes.BoardData()) {
    std::size_t longest = 0;
    for (const auto& line : lines) longest = std::max(longest, line.size());
    shown.push_back({"board data (up to " + std::to_string(longest) + " bytes; " + std::to_string(data.used) + " of " +
                         std::to_string(lines.size()) + " lines used)",
                     *writes.boardDataAt, longest});
  }
  return shown;
}

// "serial number (u32le) at 0x000FF0 to 0x000FF3: data record 256 (from 0x000FF0) bytes 0x000FF0 to 0x000FF3"
void PrintBoardWrite(const FirmwareImage& image, const ShownWrite& write, std::ostream& out) {
  const auto last = [](std::uint32_t first, std::size_t count) {
    return Address(first + static_cast<std::uint32_t>(count) - 1);
  };
  out << write.what << " at " << Address(write.address) << " to " << last(write.address, write.length) << ":\n";
  for (const PatchPlace& place : PatchPlaces(image, write.address, write.length)) {
    out << "  data record " << DataRecordNumber(image, place.recordIndex) << " (from " << Address(place.recordStart)
        << ") bytes " << Address(place.first) << " to " << last(place.first, place.count)
        << (place.afterEndRecord ? ", behind the end record" : "") << '\n';
  }
}

nlohmann::json BoardWriteJson(const FirmwareImage& image, const ShownWrite& write) {
  nlohmann::json places = nlohmann::json::array();
  for (const PatchPlace& place : PatchPlaces(image, write.address, write.length)) {
    places.push_back({{"data_record", DataRecordNumber(image, place.recordIndex)},
                      {"record_address", place.recordStart},
                      {"address", place.first},
                      {"bytes", place.count},
                      {"after_end_record", place.afterEndRecord}});
  }
  return {{"what", write.what}, {"address", write.address}, {"bytes", write.length}, {"records", places}};
}

// Reads the board data and checks what each board gets against the image:
// the refusal, empty when all of it fits.
std::string CheckWrites(const Options& options, const FirmwareImage& image, BoardDataReading& data) {
  if (options.boardWrites.BoardData()) {
    data = ReadBoardData(options.boardWrites.boardDataFile);
    if (!data.error.empty()) return data.error;
  }
  return CheckBoardWrites(image, options.boardWrites, data.lines);
}

// What a trusted key's signature says, in the check's own words.
void AddSignature(nlohmann::json& check, const SignedImageReading& signedReading) {
  if (!signedReading.verification || !signedReading.signatureRefusal.empty()) return;
  check["key_id"] = trust::KeyIdText(signedReading.verification->keyId);
  check["trusted_comment"] = signedReading.verification->trustedComment;
}

int RefusedForSignature(const Options& options, const std::string& file, const SignedImageReading& signedReading,
                        std::ostream& out) {
  if (!options.json) {
    out << signedReading.signatureRefusal << '\n';
    return kExitFileRefused;
  }
  nlohmann::json check = JsonEvent("check");
  check.update({{"file", file}, {"exit", kExitFileRefused}, {"result", "file-refused"}});
  check["messages"] = {signedReading.signatureRefusal};
  out << check.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
  return kExitFileRefused;
}

}  // namespace

int CheckFile(const Options& options, const std::vector<trust::PublicKey>& trustedKeys, std::ostream& out) {
  const std::string file = AbsoluteFile(options);
  const SignedImageReading signedReading = ReadSignedFirmwareFile(file, trustedKeys);
  if (!signedReading.signatureRefusal.empty()) return RefusedForSignature(options, file, signedReading, out);
  const ImageReading& reading = signedReading.reading;
  ImageLayout layout;
  if (reading.image) layout = DescribeImage(*reading.image);
  const bool hasData = reading.image && reading.image->DataRecordCount() > 0;
  BoardDataReading data;
  const std::string writesRefused = hasData ? CheckWrites(options, *reading.image, data) : std::string();
  const int status = hasData && writesRefused.empty() ? kExitSuccess : kExitFileRefused;
  const std::vector<ShownWrite> writes = BoardWritesOf(options, data);

  if (options.json) {
    nlohmann::json check = JsonEvent("check");
    check.update({{"file", file}, {"exit", status}, {"result", status == kExitSuccess ? "ok" : "file-refused"}});
    AddFileHash(check, reading.fileDigest);  // of the bytes just checked, not a second reading
    if (reading.image) {
      check["data_records"] = layout.dataRecords;
      check["data_bytes"] = layout.dataBytes;
      check["first_address"] = layout.firstAddress;
      check["last_address"] = layout.lastAddress;
      check["write_blocks"] = layout.writeFrames;
      if (!hasData) check["messages"] = {kNoDataRefusal};
      if (!writesRefused.empty()) check["messages"] = {writesRefused};
      if (status == kExitSuccess && !writes.empty()) {
        for (const ShownWrite& write : writes) check["board_writes"].push_back(BoardWriteJson(*reading.image, write));
      }
    } else {
      check["messages"] = {reading.refusal};
    }
    AddSignature(check, signedReading);
    out << check.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
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
  if (const auto& signature = signedReading.verification) {
    out << "signature: " << trust::VerdictText(*signature) << "; trusted comment: " << signature->trustedComment
        << '\n';
  }
  if (!hasData) out << kNoDataRefusal << '\n';
  if (!writesRefused.empty()) out << writesRefused << '\n';
  if (status == kExitSuccess) {
    for (const ShownWrite& write : writes) PrintBoardWrite(*reading.image, write, out);
  }
  return status;
}

}  // namespace mx::flash
