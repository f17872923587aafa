#include "SignedFile.h"

#include <algorithm>
#include <filesystem>
#include <variant>

#include "Sha256.h"
#include "app/HostSystem.h"
#include "app/HostSystem_p.h"
#include "update/FileAccess.h"

namespace mx::flash {

namespace fs = std::filesystem;

namespace {

// Keys and signatures are a few hundred bytes; a larger file is none of them.
constexpr std::uintmax_t kMaxSmallFileBytes = 16 * 1024;

std::string KeyFault(const std::string& path, const std::string& reason) {
  return "trusted key " + path + ": " + reason;
}

// The `*.pub` files of `folder`, in name order.
std::vector<std::string> KeyFilesIn(const std::string& folder) {
  std::vector<std::string> files;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(fs::path(folder), error)) {
    if (entry.path().extension() == ".pub") files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

SmallFile ReadSmallFile(const std::string& path) {
  FileContents contents = ReadRegularFile(path, kMaxSmallFileBytes);
  if (!contents.error.empty()) return {{}, path + ": " + contents.error};
  return {std::move(contents.bytes), {}};
}

TrustedKeys LoadTrustedKeys(const std::vector<std::string>& folders, const std::vector<std::string>& keyFiles) {
  std::vector<std::string> paths;
  for (const std::string& folder : folders) {
    const std::vector<std::string> found = KeyFilesIn(folder);
    paths.insert(paths.end(), found.begin(), found.end());
  }
  paths.insert(paths.end(), keyFiles.begin(), keyFiles.end());
  TrustedKeys trusted;
  for (const std::string& path : paths) {
    const SmallFile file = ReadSmallFile(path);
    if (!file.error.empty()) return {{}, "trusted key " + file.error};
    auto key = trust::ReadPublicKey(file.bytes);
    if (auto* fault = std::get_if<std::string>(&key)) return {{}, KeyFault(path, *fault)};
    trusted.keys.push_back(std::get<trust::PublicKey>(key));
  }
  return trusted;
}

TrustedKeys TrustedKeysFor(const Options& options) {
  const std::vector<std::string> folders{ExecutableDirectory() + kTrustedKeysFolder,
                                         host::UserConfigDirectory() + kTrustedKeysFolder};
  return LoadTrustedKeys(folders, options.trustFiles);
}

SignedImageReading ReadSignedFirmwareFile(const std::string& path, const std::vector<trust::PublicKey>& trustedKeys) {
  SignedImageReading signedReading;
  if (trustedKeys.empty()) {
    signedReading.reading = ReadFirmwareFile(path, Sha256Hex);
    return signedReading;
  }
  const std::string signaturePath = path + kSignatureSuffix;
  const SmallFile signatureFile = ReadSmallFile(signaturePath);
  if (!signatureFile.error.empty()) {
    signedReading.signatureRefusal =
        "No signature: the file must be signed by a trusted key, and " + signatureFile.error;
    return signedReading;
  }
  auto signature = trust::ReadSignature(signatureFile.bytes);
  if (auto* fault = std::get_if<std::string>(&signature)) {
    signedReading.signatureRefusal = "Signature refused: " + signaturePath + ": " + *fault;
    return signedReading;
  }
  // The check runs on the bytes the image is then read from: no second reading.
  auto digestAndVerify = [&](std::string_view bytes) {
    signedReading.verification = trust::Verify(trustedKeys, std::get<trust::Signature>(signature), bytes);
    return Sha256Hex(bytes);
  };
  signedReading.reading = ReadFirmwareFile(path, digestAndVerify);
  const auto& verification = signedReading.verification;
  if (verification && verification->verdict != trust::Verdict::Verified) {
    signedReading.signatureRefusal = "Signature refused: " + trust::VerdictText(*verification);
  }
  return signedReading;
}

}  // namespace mx::flash
