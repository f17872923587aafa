#pragma once

// The check command: reads and checks a firmware file exactly as an update
// would, without a port or a device, and prints the refusal or what an
// update would write.

#include <iosfwd>
#include <vector>

#include "CommandLine.h"
#include "trust/Minisign.h"

namespace mx::flash {

// Why a file without data records is refused: writing it would only erase
// the device, which the erase command does on purpose.
inline constexpr char kNoDataRefusal[] =
    "The file holds no data records: nothing to write. To erase the device, use the erase command.";

// Returns the exit status: 0 for an accepted file, 3 for a refused one. With
// `trustedKeys`, a file that none of them signed is refused too.
int CheckFile(const Options& options, const std::vector<trust::PublicKey>& trustedKeys, std::ostream& out);

}  // namespace mx::flash
