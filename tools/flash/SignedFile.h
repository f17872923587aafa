#pragma once

// Signed firmware files: the keys this program trusts, and reading a file
// together with its FILE.minisig. With any trusted key, update, restore,
// wizard, station and check take only a file that one of them signed.

#include <optional>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "trust/Signing.h"
#include "update/FirmwareImage.h"

namespace mx::flash {

inline constexpr char kSignatureSuffix[] = ".minisig";
inline constexpr char kTrustedKeysFolder[] = "trusted-keys";

// The trusted keys, or why they cannot be had (one line).
struct TrustedKeys {
  std::vector<trust::PublicKey> keys;
  std::string error;
};

// Every `*.pub` in each folder (in name order; a folder that does not exist
// adds nothing), then every file given; a key that cannot be read or is
// malformed is an error, never skipped.
TrustedKeys LoadTrustedKeys(const std::vector<std::string>& folders, const std::vector<std::string>& keyFiles);

// --trust's files, and the trusted-keys folders beside the program and in
// the user's configuration directory.
TrustedKeys TrustedKeysFor(const Options& options);

struct SignedImageReading {
  ImageReading reading;
  // With trusted keys: why the signature refuses the file (empty: it does
  // not), and the verification once the signature file was read.
  std::string signatureRefusal;
  std::optional<trust::Verification> verification;

  bool Refused() const { return !signatureRefusal.empty() || !reading.image; }
  std::string Refusal() const { return signatureRefusal.empty() ? reading.refusal : signatureRefusal; }
};

// Reads the file at `path` once: its SHA-256, and with `trustedKeys` its
// signature, are of the very bytes that are checked and written.
SignedImageReading ReadSignedFirmwareFile(const std::string& path, const std::vector<trust::PublicKey>& trustedKeys);

// Reads a whole small file (a key, a signature, a password) that the user named.
struct SmallFile {
  std::string bytes;
  std::string error;  // "<path>: <reason>"
};
SmallFile ReadSmallFile(const std::string& path);

}  // namespace mx::flash
