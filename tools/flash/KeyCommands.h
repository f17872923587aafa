#pragma once

// keygen and sign: a key pair in minisign's format, and FILE.minisig for a
// firmware file, so that minisign and this program check each other's.

#include <iosfwd>

#include "CommandLine.h"

namespace mx::flash {

// Where a script hands over the secret key's password.
inline constexpr char kPasswordVariable[] = "MX7410_KEY_PASSWORD";

// Both return the exit status: 0, 2 for a usage fault (no password, a file
// that exists), 3 when a key or file cannot be read or written.
int GenerateKeys(const Options& options, std::ostream& out, std::ostream& err);
int SignFile(const Options& options, std::ostream& out, std::ostream& err);

}  // namespace mx::flash
