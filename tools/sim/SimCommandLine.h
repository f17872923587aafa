#pragma once

// The command line of the mx7410-sim program.

#include <optional>
#include <string>
#include <vector>

#include "sim/SimulatedBootloader.h"
#include "update/BoardPatch.h"

namespace mx::sim {

struct CommandLine {
  SimOptions options;
  std::string portDirectory;  // empty: PortDirectoryFromEnvironment()
  std::string name;           // empty: the first free "simN"
  std::string dumpHex;        // written on exit when set
  std::string dumpBinary;     // written on exit when set
  std::string verify;         // compared on exit when set
  // --verify-serial ADDR:FORMAT: a board's own number there, not compared
  struct SerialPlace {
    std::uint32_t address = 0;
    NumberFormat format;
  };
  std::optional<SerialPlace> verifySerial;
  bool exitAfterEnd = false;
  bool help = false;
  bool version = false;
};

// How long the program keeps serving after an end frame with --exit-after-end,
// so that the version request the host sends next still reaches it.
inline constexpr std::chrono::milliseconds kLingerAfterEnd{500};

// Parses the arguments after the program name; "--opt value" and
// "--opt=value" both work. Returns nothing and sets `error` on a bad argument
// or on options the simulator cannot serve.
std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& args, std::string* error);

// Usage and one line for every option.
std::string HelpText();

}  // namespace mx::sim
