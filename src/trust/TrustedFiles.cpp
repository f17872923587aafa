#include "trust/TrustedFiles.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <variant>

#include "update/FileAccess.h"

namespace mx::trust {

namespace fs = std::filesystem;

namespace {

// Keys and signatures are a few hundred bytes; a larger file is none of them.
constexpr std::uintmax_t kMaxSmallFileBytes = 16 * 1024;

// Names are UTF-8 here, whatever the system's narrow code page is.
fs::path PathFromUtf8(const std::string& name) { return fs::path(std::u8string(name.begin(), name.end())); }
std::string Utf8FromPath(const fs::path& path) {
  const std::u8string name = path.u8string();
  return std::string(name.begin(), name.end());
}

struct KeyFileList {
  std::vector<std::string> files;
  std::string error;
};

// The `*.pub` files of `folder`, in name order. A folder that is not there
// holds none; one that is there but cannot be listed is an error, since its
// keys would otherwise be silently left out.
KeyFileList KeyFilesIn(const std::string& folder) {
  KeyFileList list;
  std::error_code error;
  const fs::path folderPath = PathFromUtf8(folder);
  if (fs::status(folderPath, error).type() == fs::file_type::not_found) return list;
  fs::directory_iterator entries;
  if (!error) entries = fs::directory_iterator(folderPath, error);
  for (; !error && entries != fs::directory_iterator(); entries.increment(error)) {
    if (entries->path().extension() == ".pub") list.files.push_back(Utf8FromPath(entries->path()));
  }
  if (error) return {{}, "trusted keys folder " + folder + ": " + error.message()};
  std::sort(list.files.begin(), list.files.end());
  return list;
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
    KeyFileList found = KeyFilesIn(folder);
    if (!found.error.empty()) return {{}, std::move(found.error)};
    paths.insert(paths.end(), found.files.begin(), found.files.end());
  }
  paths.insert(paths.end(), keyFiles.begin(), keyFiles.end());
  TrustedKeys trusted;
  for (const std::string& path : paths) {
    const SmallFile file = ReadSmallFile(path);
    if (!file.error.empty()) return {{}, "trusted key " + file.error};
    auto key = ReadPublicKey(file.bytes);
    if (auto* fault = std::get_if<std::string>(&key)) return {{}, "trusted key " + path + ": " + *fault};
    trusted.keys.push_back(std::get<PublicKey>(key));
  }
  return trusted;
}

SignedImageReading ReadSignedFirmwareFile(const std::string& path, const std::vector<PublicKey>& trustedKeys,
                                          const FileDigest& digest) {
  SignedImageReading signedReading;
  if (trustedKeys.empty()) {
    signedReading.reading = ReadFirmwareFile(path, digest);
    return signedReading;
  }
  const std::string signaturePath = path + kSignatureSuffix;
  const SmallFile signatureFile = ReadSmallFile(signaturePath);
  if (!signatureFile.error.empty()) {
    signedReading.signatureRefusal =
        "No signature: the file must be signed by a trusted key, and " + signatureFile.error;
    return signedReading;
  }
  auto signature = ReadSignature(signatureFile.bytes);
  if (auto* fault = std::get_if<std::string>(&signature)) {
    signedReading.signatureRefusal = "Signature refused: " + signaturePath + ": " + *fault;
    return signedReading;
  }
  // The check runs on the bytes the image is then read from: no second reading.
  auto verifyAndDigest = [&](std::string_view bytes) {
    signedReading.verification = Verify(trustedKeys, std::get<Signature>(signature), bytes);
    return digest ? digest(bytes) : std::string();
  };
  signedReading.reading = ReadFirmwareFile(path, verifyAndDigest);
  const auto& verification = signedReading.verification;
  if (verification && verification->verdict != Verdict::Verified) {
    signedReading.signatureRefusal = "Signature refused: " + VerdictText(*verification);
  }
  return signedReading;
}

}  // namespace mx::trust
