#pragma once

// Signed firmware files: the keys a program trusts, read from folders and
// files, and reading a firmware file together with its FILE.minisig. Every
// front end takes a file through here, so a file one refuses no other takes.

#include <optional>
#include <string>
#include <vector>

#include "trust/Signing.h"
#include "update/FirmwareImage.h"

namespace mx::trust {

inline constexpr char kSignatureSuffix[] = ".minisig";
inline constexpr char kTrustedKeysFolder[] = "trusted-keys";

// The trusted keys, or why they cannot be had (one line).
struct TrustedKeys {
  std::vector<PublicKey> keys;
  std::string error;
};

// Every `*.pub` in each folder (in name order; a folder that does not exist
// adds nothing), then every file given. A folder that cannot be listed, and a
// key that cannot be read or is malformed, are errors, never skipped.
TrustedKeys LoadTrustedKeys(const std::vector<std::string>& folders, const std::vector<std::string>& keyFiles);

struct SignedImageReading {
  ImageReading reading;
  // With trusted keys: why the signature refuses the file (empty: it does
  // not), and the verification once the signature file was read.
  std::string signatureRefusal;
  std::optional<Verification> verification;

  bool Refused() const { return !signatureRefusal.empty() || !reading.image; }
  std::string Refusal() const { return signatureRefusal.empty() ? reading.refusal : signatureRefusal; }
};

// Reads the file at `path` once: its digest (`digest` may be empty), and
// with `trustedKeys` its signature, are of the very bytes that are checked
// and written. Without trusted keys this is ReadFirmwareFile.
SignedImageReading ReadSignedFirmwareFile(const std::string& path, const std::vector<PublicKey>& trustedKeys,
                                          const FileDigest& digest);

// Reads a whole small file (a key, a signature, a password) that the user named.
struct SmallFile {
  std::string bytes;
  std::string error;  // "<path>: <reason>"
};
SmallFile ReadSmallFile(const std::string& path);

}  // namespace mx::trust
