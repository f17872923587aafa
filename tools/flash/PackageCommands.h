#pragma once

// The package command, and a sealed package opened for station and check:
// verified against the administrator's keys before any port opens, its
// settings taking the place of the command line's.

#include <iosfwd>
#include <memory>
#include <optional>

#include "BoardImages.h"
#include "CommandLine.h"
#include "Package.h"
#include "update/FirmwareImage.h"

namespace mx::flash {

// Writes -o's package: the image checked as update checks it (and that it
// holds where each board's number and data go), never over an existing
// file. Returns the exit status.
int MakePackage(const Options& options, std::ostream& out, std::ostream& err);

struct OpenedPackage {
  package::SealedPackage sealed;
  std::shared_ptr<const FirmwareImage> image;
  BoardDataReading boardData;  // when the package holds some
};

// Reads and verifies options.file as a package; on success its settings are
// put into `options` (the board writes, retries, read gap, package id).
// Nothing once `err` has been told why, with `status` the exit status.
std::optional<OpenedPackage> OpenPackageForRun(Options& options, std::ostream& err, int& status);

// check for a package: what it holds and what each board would get.
int CheckPackage(Options options, std::ostream& out, std::ostream& err);

}  // namespace mx::flash
