#pragma once

// keygen and sign: a key pair in minisign's format, and FILE.minisig for a
// firmware file, so that minisign and this program check each other's.

#include <iosfwd>
#include <optional>

#include "CommandLine.h"
#include "trust/Minisign.h"

namespace mx::flash {

// Where a script hands over the secret key's password.
inline constexpr char kPasswordVariable[] = "MX7410_KEY_PASSWORD";

// Both return the exit status: 0, 2 for a usage fault (no password, a file
// that exists), 3 when a key or file cannot be read or written.
int GenerateKeys(const Options& options, std::ostream& out, std::ostream& err);
int SignFile(const Options& options, std::ostream& out, std::ostream& err);

// The secret key of --key, opened as sign opens it (asking its password);
// nothing once `err` has been told why, with `status` the exit status.
std::optional<trust::SecretKey> OpenSigningKey(const Options& options, std::ostream& err, int& status);

}  // namespace mx::flash
