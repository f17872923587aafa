#pragma once

// Signed firmware files for the command line: the keys it trusts (--trust's
// files and the trusted-keys folders), and reading a file with its
// FILE.minisig (trust/TrustedFiles.h, which the window uses too). With any
// trusted key, update, restore, wizard, station and check take only a file
// that one of them signed.

#include <string>
#include <vector>

#include "CommandLine.h"
#include "trust/Signing.h"
#include "trust/TrustedFiles.h"
#include "update/FirmwareImage.h"

namespace mx::flash {

using trust::kSignatureSuffix;
using trust::kTrustedKeysFolder;
using trust::LoadTrustedKeys;
using trust::ReadSmallFile;
using trust::SignedImageReading;
using trust::SmallFile;
using trust::TrustedKeys;

// --trust's files, and the trusted-keys folders beside the program and in
// the user's configuration directory.
TrustedKeys TrustedKeysFor(const Options& options);

// trust::ReadSignedFirmwareFile, the file's digest its SHA-256.
SignedImageReading ReadSignedFirmwareFile(const std::string& path, const std::vector<trust::PublicKey>& trustedKeys);

}  // namespace mx::flash
