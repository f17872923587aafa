#include "CheckFile.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>

#include "JsonEvent.h"
#include "PortRun.h"
#include "Sha256.h"
#include "SignedFile.h"
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
  return status;
}

}  // namespace mx::flash
