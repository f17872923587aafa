#pragma once

// The command line of mx7410-flash: options, commands and exit statuses.
// Pure: parsing touches no file, port or terminal.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Records.h"
#include "update/BoardPatch.h"

namespace mx::flash {

enum class Command { Ports, Connect, Update, Restore, Erase, Wizard, Check, Station, Keygen, Sign, Records, Package };

// Exit statuses of the program.
enum ExitStatus : int {
  kExitSuccess = 0,
  kExitDeviceFailed = 1,  // no answer, refused, handshake failed, time-out, interrupted
  kExitUsage = 2,
  kExitFileRefused = 3,    // the firmware file was refused or could not be read
  kExitPortFailed = 4,     // the port could not be opened, or no port is listed
  kExitRecordsFailed = 5,  // records: the record database could not be opened or read
  // Ended by a signal: 128 + its number, as shells report it.
  kExitInterrupted = 130,  // SIGINT, Ctrl-C
  kExitTerminated = 143,   // SIGTERM
};

// ---- what each board gets written into its image ----
// update, wizard and station write them; check shows where they would go.
struct BoardWrites {
  std::optional<std::uint32_t> serialAddress;  // --serial ADDR[:FORMAT]
  NumberFormat serialFormat;                   // default u32le
  std::uint64_t serialFirst = 1;               // --serial-range FIRST[-LAST]
  std::optional<std::uint64_t> serialLast;     // none: no end
  std::string pool = "default";                // --pool
  std::string database;                        // --db; empty: the default file
  std::string station;                         // --station; empty: the host name
  std::string boardDataFile;                   // --board-data: one line of hex bytes per board
  std::optional<std::uint32_t> boardDataAt;    // --board-data-at ADDR
  std::optional<std::uint64_t> maxBoards;      // package --max-boards: boards flashed from a package, at most
  std::string packageId;                       // the sealed package the run comes from, if any
  std::string keyId;                           // the key whose signature vouches for the file or package
  std::string trustedComment;                  // and that signature's trusted comment; both empty: unsigned

  bool Serial() const { return serialAddress.has_value(); }
  bool BoardData() const { return !boardDataFile.empty(); }
  bool Any() const { return Serial() || BoardData() || maxBoards.has_value(); }
  // The record store is used: for the numbers, or asked for with --db.
  bool UsesStore() const { return Serial() || maxBoards.has_value() || !database.empty(); }
  // The pool that counts a package's boards, 1 to --max-boards.
  std::string BoardCountPool() const { return "package " + packageId; }
};
// ---- end of what each board gets written

struct Options {
  Command command = Command::Ports;
  std::string file;                 // update, restore, wizard, check: the firmware file as given
  std::optional<std::string> port;  // the port of this run: a listed name or a device path; none: automatic choice
  std::vector<std::string> ports;   // every --port given, in order; several: one run each, at once
  bool allPorts = false;            // --all-ports: every listed port, one run each
  bool json = false;                // JSON Lines on standard output
  bool longListing = false;         // ports --long: every port's details
  int waitSeconds = 3;              // reply time-out, whole seconds
  std::string language = "ENG";     // "ENG" or "CH"
  bool quiet = false;
  std::uint32_t readGapMs = 100;      // line silence that ends a received chunk
  std::optional<int> maxWaitSeconds;  // wizard: how long to wait for the device
  int retries = 0;                    // a board whose writing timed out is written again this often, from the erase
  std::string logFile;                // station: every board's record is appended here; empty: none
  BoardWrites boardWrites;            // --serial, --board-data and what goes with them
  RecordsOptions records;             // records: where, which boards, and how to print them

  // Signatures: the keys trusted besides the trusted-keys folders, and
  // keygen's and sign's files.
  std::vector<std::string> trustFiles;        // every --trust, in order
  std::string publicKeyFile = "mx7410.pub";   // keygen -p
  std::string secretKeyFile = "mx7410.key";   // keygen -s, sign --key
  bool unprotectedKey = false;                // keygen -W: no password
  std::string passwordFile;                   // --password-file: the password is its first line
  std::optional<std::string> trustedComment;  // sign -t; none: when and what was signed

  // Sealed packages: package's image and output.
  std::string packageImage;   // package --image
  std::string packageOutput;  // package -o

  // station and check take a sealed package for a FILE named *.mxpkg.
  bool FileIsPackage() const { return file.ends_with(".mxpkg"); }
};

struct ParsedCommandLine {
  enum class Action { Run, ShowHelp, ShowRecordsHelp, ShowVersion, UsageError };
  Action action = Action::UsageError;
  Options options;
  std::string error;  // UsageError: what is wrong, one line
};

// `arguments` without the program name. Options may stand before or after
// the command; "--" ends the options. "--name=value" and "--name value" both work.
ParsedCommandLine ParseCommandLine(const std::vector<std::string>& arguments);

bool CommandTakesFile(Command command);
// The commands that talk to a device, and may run on several ports at once.
bool CommandUsesDevice(Command command);

// The synopsis, for usage errors.
std::string UsageText();
// The whole --help text.
std::string HelpText();

}  // namespace mx::flash
