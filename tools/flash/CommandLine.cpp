#include "CommandLine.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <functional>
#include <sstream>
#include <string_view>

#include "Package.h"

namespace mx::flash {

namespace {

constexpr int kMaxWaitSeconds = 3600;
constexpr std::uint32_t kMaxReadGapMs = 60000;
constexpr long kMaxRetries = 100;
constexpr long kMaxDeviceWaitSeconds = 24L * 3600;
constexpr int kDefaultStationRetries = 2;
constexpr std::size_t kHelpColumn = 21;
constexpr std::size_t kCommandColumn = 18;
constexpr std::size_t kUsageWidth = 100;

struct CommandEntry {
  std::string_view name;
  Command command;
  std::string_view help;
};

const std::vector<CommandEntry>& Commands() {
  static const std::vector<CommandEntry> commands{
      {"ports", Command::Ports,
       "list the serial ports, one a line; the last one is the\n"
       "automatic choice: built-in ports first, then USB and ACM\n"
       "adapters as they were plugged in (the newest last), then\n"
       "simulated ones"},
      {"connect", Command::Connect,
       "greet the bootloader; print its version and the\n"
       "OldVersion and RestorePoint lines; then disconnect"},
      {"update", Command::Update,
       "connect, then write FILE into the device (erase, blocks,\n"
       "end) as the Update button does"},
      {"restore", Command::Restore,
       "connect, then write FILE in restore mode, as the Restore\n"
       "button does"},
      {"erase", Command::Erase,
       "connect, then erase the device only (the command itself\n"
       "is the confirmation)"},
      {"wizard", Command::Wizard,
       "the Update Wizard: open the port, wait until the device is\n"
       "switched on (or restarted), then connect and update"},
      {"check", Command::Check,
       "no device: read and check FILE as update would, and print\n"
       "the refusal or a summary (data records, data bytes, first\n"
       "and last address, write blocks)"},
      {"station", Command::Station,
       "a production station, until Ctrl-C: flash every board\n"
       "that comes, each on its own and at once with the others:\n"
       "on every port that appears (an adapter plugged in, a\n"
       "simulator started), and on every --port each board that\n"
       "powers on (as the wizard catches it)"},
      {"keygen", Command::Keygen,
       "make a key pair in minisign's format: -p PUB (default\n"
       "mx7410.pub), -s SEC (default mx7410.key), the secret key\n"
       "protected by a password unless -W"},
      {"sign", Command::Sign,
       "sign FILE with --key SEC (and -t COMMENT): writes\n"
       "FILE.minisig, as minisign -S does"},
      {"package", Command::Package,
       "seal --image FILE with the station's settings (--serial,\n"
       "--board-data, --retries, --read-gap, --max-boards) and a\n"
       "signature by --key SEC into -o LINE.mxpkg, which station\n"
       "and check take as their FILE"},
      {"records", Command::Records,
       "the recorded boards: --db, --since, --until, --serial,\n"
       "--slot, --result, --json or --csv, or --summary per\n"
       "station and slot (see 'records --help')"},
  };
  return commands;
}

const CommandEntry* FindCommand(std::string_view name) {
  const auto& commands = Commands();
  const auto found = std::find_if(commands.begin(), commands.end(), [&](const auto& c) { return c.name == name; });
  return found == commands.end() ? nullptr : &*found;
}

// sign takes a FILE too, though not one to write into a device.
bool CommandTakesWordFile(Command command) { return CommandTakesFile(command) || command == Command::Sign; }

std::string CommandWithFile(const CommandEntry& entry) {
  return std::string(entry.name) + (CommandTakesWordFile(entry.command) ? " FILE" : "");
}

// Options only station takes; its usage line names them apart.
constexpr std::string_view kStationOnly[] = {"--retries", "--log"};

bool IsStationOnly(const CLI::Option& option) {
  return std::find(std::begin(kStationOnly), std::end(kStationOnly), option.get_name()) != std::end(kStationOnly);
}

// A whole number in [low, high] written with decimal digits only: "010" is
// ten, and "0x10" is refused, never read as octal or hex.
std::optional<long> WholeNumber(std::string_view text, long low, long high) {
  long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || text.front() == '-' || error != std::errc{} || end != text.data() + text.size()) {
    return std::nullopt;
  }
  if (value < low || value > high) return std::nullopt;
  return value;
}

std::string UpperCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c); });
  return text;
}

// Checks one value and stores it; returns a complaint, empty when accepted.
using ValueSetter = std::function<std::string(const std::string&)>;

template <typename Number>
ValueSetter WholeNumberInto(std::string name, long low, long high, Number& target) {
  return [name, low, high, &target](const std::string& value) -> std::string {
    const auto number = WholeNumber(value, low, high);
    if (!number) {
      return name + " wants a whole number from " + std::to_string(low) + " to " + std::to_string(high) + ", not \"" +
             value + "\"";
    }
    target = static_cast<Number>(*number);
    return {};
  };
}

// Every value arrives as text and goes through `set`, in the order given, so
// that the last of a repeated option wins and CLI11's own number reading
// (which takes "010" as octal) never runs.
CLI::Option* AddValueOption(CLI::App& app, const std::string& names, const std::string& valueName, ValueSetter set,
                            const std::string& help) {
  auto apply = [set = std::move(set)](const std::vector<std::string>& values) {
    for (const std::string& value : values) {
      if (std::string complaint = set(value); !complaint.empty()) throw CLI::ValidationError(complaint);
    }
  };
  return app.add_option_function<std::vector<std::string>>(names, std::move(apply), help)
      ->allow_extra_args(false)  // one value per occurrence, taken as it stands: no "[a,b]" lists
      ->option_text(valueName);
}

CLI::Option* AddFlag(CLI::App& app, const std::string& names, bool& target, const std::string& help) {
  return app.add_flag(names, target, help)->disable_flag_override();
}

// --help and --version end the parse where they stand, before any value is checked.
struct HelpAsked {};
struct VersionAsked {};

// Long names first, as the README writes them: "--port, -p NAME".
class HelpFormatter : public CLI::Formatter {
 public:
  HelpFormatter() { column_width(kHelpColumn); }

  std::string make_option_name(const CLI::Option* option, bool positional) const override {
    if (positional) return CLI::Formatter::make_option_name(option, positional);
    std::string names;
    for (const std::string& name : option->get_lnames()) names += (names.empty() ? "--" : ", --") + name;
    for (const std::string& name : option->get_snames()) names += (names.empty() ? "-" : ", -") + name;
    return names;
  }

  std::string make_usage(const CLI::App* app, std::string) const override {
    return "\nusage: " + app->get_name() + " [OPTIONS] COMMAND [FILE]\n";
  }

  // The commands stand where CLI11 would list positionals.
  std::string make_positionals(const CLI::App*) const override {
    std::ostringstream out;
    out << "\nCommands:\n";
    for (const CommandEntry& entry : Commands()) {
      CLI::detail::format_help(out, CommandWithFile(entry), std::string(entry.help), kCommandColumn);
    }
    return out.str();
  }
};

constexpr const char* kDescription =
    "mx7410-flash: flashes Intel HEX firmware into an Mx7410 through its serial\n"
    "bootloader, for scripts and production lines. It does what the updater window\n"
    "does, with the same bytes on the wire, texts and time-outs.";

constexpr const char* kFooter = R"(Output:
  Standard output gets every line of the window's message memo (the
  bootloader's replies and versions), the text of every message box (for
  example "Finish Update" or "File import failure : Checksum error."), and the
  status lines a run ends with: "Time Out!" and "Program Stop Update!" after a
  time-out, and "Finish Update! 12.516Sec." after a successful update.
  Standard error gets a progress bar (percent, bytes, rate, time left) and the
  wizard's waiting counter, only while it is a terminal, and the program's
  own complaints. Nothing is written to the window's settings file.

Several ports: each port's lines come prefixed with its name and ": ", a
  table on standard error (while it is a terminal) shows every port's state
  and progress, and a summary line per port ends the output.

Exit status (with several ports: 0 when every port succeeded, else the
status of the first port, in command-line order, that failed):
  0  success: connected, image written, erase accepted, ports listed; also
     an update of a file without data records, which erases the device and
     says so ("Mx7410 erased; the file holds no data.")
  1  the device failed: no answer, refused, handshake failed, time-out, the
     port lost (adapter unplugged), the last frames not sent, no device
     seen within --max-wait, or interrupted
  2  usage error
  3  the firmware file was refused or could not be read (also by check)
  4  the port could not be opened (standard error says why, e.g.
     "cannot open /dev/ttyUSB7: No such file or directory"), or no serial
     port is listed
  5  records: the record database could not be opened or read
  130  ended by Ctrl-C (SIGINT); 143 ended by SIGTERM

Interrupting: Ctrl-C (or SIGTERM) closes the port and ends the run with
status 130 (143); a transfer in progress then ends with its time-out. A run that has not ended
1.5 seconds later, and any run at a second Ctrl-C, is ended at once, with the
port's settings put back.

Before it closes the port, every command lets the frames it has queued reach
the line (for at most a second).

A whole tray at once, with a record of what each board received:
  mx7410-flash --all-ports --json update fw.hex > tray.jsonl

Environment:
  MX7410_PORT_DIR  where a simulated bootloader publishes its ports; they are
                   listed after the host's serial ports)";

// The command line's definition: every option with its help, bound to the
// Options it fills. Parsing, the help and the usage synopsis all come from it.
class Definition {
 public:
  Definition() {
    app_.formatter(std::make_shared<HelpFormatter>());
    app_.footer(kFooter);
    app_.set_help_flag();
    app_.allow_extras();  // unknown options are named in our own words below
    // The command and its FILE; anything after them is left over, and refused.
    app_.add_option("COMMAND", command_)->group("");
    app_.add_option("FILE", file_)->group("");
    DefineOptions();
    DefineSignatureOptions();
    DefinePackageOptions();
  }
  Definition(const Definition&) = delete;
  Definition& operator=(const Definition&) = delete;

  ParsedCommandLine Parse(const std::vector<std::string>& arguments);
  std::string Help() const { return app_.help(); }
  std::string Usage() const;

 private:
  void DefineOptions();
  void DefineBoardWriteOptions();
  std::string CheckBoardWrites();
  void DefineSignatureOptions();
  std::string CheckSignatureOptions();
  void DefinePackageOptions();
  std::string CheckPackageOptions();
  std::vector<std::string> ArgumentsForCli11(const std::vector<std::string>& arguments) const;
  std::string WhyMissingValue(const CLI::ArgumentMismatch& mismatch) const;
  std::string CollectWords();
  std::string CheckWords();
  std::string CheckCombinations();
  bool Given(const std::string& name) const { return app_.get_option(name)->count() > 0; }

  CLI::App app_{kDescription, "mx7410-flash"};
  Options options_;
  std::string command_;
  std::string file_;
  std::vector<std::string> words_;  // the command, its FILE, then any extra
};

void Definition::DefineOptions() {
  AddFlag(app_, "-l,--long", options_.longListing,
          "ports: one line per port with tab-separated fields:\n"
          "name, device path, kind (built-in, USB, ACM, simulator),\n"
          "USB vendor:product, serial number, /dev/serial/by-id and\n"
          "by-path links, description; \"-\" where unknown");
  AddValueOption(
      app_, "-p,--port", "NAME",
      [this](const std::string& value) -> std::string {
        if (value.empty()) return "--port wants a port name";
        options_.ports.push_back(value);
        return {};
      },
      "the port: a name as 'ports' lists it or as the window's\n"
      "port box takes it (ttyUSB0, sim0), or a device path. Without\n"
      "it the last listed port is taken at every connect. Give\n"
      "it several times to run the command on every port at\n"
      "once, each port as if it were alone.");
  AddFlag(app_, "--all-ports", options_.allPorts, "run the command on every port that 'ports' lists, at once");
  AddValueOption(app_, "--wait", "SECONDS", WholeNumberInto("--wait", 1, kMaxWaitSeconds, options_.waitSeconds),
                 "reply time-out in whole seconds (1 to 3600, default 3;\n"
                 "an erase raises it to at least 5, as the window does)");
  AddValueOption(
      app_, "--lang", "ENG|CH",
      [this](const std::string& value) -> std::string {
        const std::string upper = UpperCase(value);
        if (upper != "ENG" && upper != "CH") return "--lang wants ENG or CH, not \"" + value + "\"";
        options_.language = upper;
        return {};
      },
      "language of the texts (default ENG)");
  AddFlag(app_, "-q,--quiet", options_.quiet,
          "print only message texts and the final status lines\n"
          "(for connect also the version lines); no progress bar");
  AddValueOption(app_, "--read-gap", "MS", WholeNumberInto("--read-gap", 1, kMaxReadGapMs, options_.readGapMs),
                 "line silence in milliseconds that ends a received chunk\n"
                 "(1 to 60000, default 100, as in the window)");
  AddValueOption(app_, "--max-wait", "SECONDS",
                 WholeNumberInto("--max-wait", 1, kMaxDeviceWaitSeconds, options_.maxWaitSeconds),
                 "wizard only: stop waiting for the device after this long\n"
                 "(default: wait until interrupted)");
  AddFlag(app_, "--json", options_.json,
          "standard output carries JSON Lines only: a \"start\", a\n"
          "\"progress\" (at most every 250 ms) and an \"end\" object\n"
          "for every port, then a \"summary\" (see the README)");
  AddValueOption(app_, "--retries", "N", WholeNumberInto("--retries", 0, kMaxRetries, options_.retries),
                 "station: write a board whose transfer timed out again,\n"
                 "from the erase, up to N times (0 to 100, default 2)");
  AddValueOption(
      app_, "--log", "FILE",
      [this](const std::string& value) -> std::string {
        if (value.empty()) return "--log wants a file name";
        options_.logFile = value;
        return {};
      },
      "station: append every board's record, one JSON object\n"
      "a line, to FILE, on disk before that port's next board");
  DefineBoardWriteOptions();
  app_.add_flag_callback(
          "-h,--help", [] { throw HelpAsked{}; }, "this text")
      ->trigger_on_parse();
  app_.add_flag_callback(
          "-V,--version", [] { throw VersionAsked{}; }, "the program's version")
      ->trigger_on_parse();
}

// A value that must not be empty, stored in `target`.
ValueSetter NonEmptyInto(std::string name, std::string valueName, std::string& target) {
  return [name, valueName, &target](const std::string& value) -> std::string {
    if (value.empty()) return name + " wants a " + valueName;
    target = value;
    return {};
  };
}

void Definition::DefineSignatureOptions() {
  AddValueOption(
      app_, "--trust", "PUBKEY",
      [this](const std::string& value) -> std::string {
        if (value.empty()) return "--trust wants a public key file";
        options_.trustFiles.push_back(value);
        return {};
      },
      "trust this minisign public key (repeatable); with any\n"
      "trusted key (also from a trusted-keys folder beside the\n"
      "program or in the configuration folder) every FILE must\n"
      "come with FILE.minisig signed by one of them");
  AddValueOption(app_, "-s,--secret-key", "SEC", NonEmptyInto("--secret-key", "file name", options_.secretKeyFile),
                 "keygen: the secret key's file (default mx7410.key)");
  AddValueOption(app_, "--public-key", "PUB", NonEmptyInto("--public-key", "file name", options_.publicKeyFile),
                 "keygen: the public key's file (default mx7410.pub; -p\n"
                 "also names it for keygen)");
  AddFlag(app_, "-W,--no-password", options_.unprotectedKey, "keygen: keep the secret key without a password");
  AddValueOption(app_, "--key", "SEC", NonEmptyInto("--key", "secret key file", options_.secretKeyFile),
                 "sign: the secret key to sign with");
  AddValueOption(
      app_, "-t,--trusted-comment", "TEXT",
      [this](const std::string& value) -> std::string {
        if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos || value.size() > 8000) {
          return "--trusted-comment wants one line of at most 8000 bytes";
        }
        options_.trustedComment = value;
        return {};
      },
      "sign: the comment signed with FILE (default: the time\n"
      "and the file's name)");
  AddValueOption(app_, "--password-file", "FILE", NonEmptyInto("--password-file", "file name", options_.passwordFile),
                 "keygen, sign: the secret key's password is this file's\n"
                 "first line (else MX7410_KEY_PASSWORD, else the terminal)");
}

// keygen's -p names its public key; the key options belong to keygen and sign.
std::string Definition::CheckSignatureOptions() {
  const Command command = options_.command;
  if (command == Command::Keygen && !options_.ports.empty()) {
    if (options_.ports.size() > 1 || Given("--public-key")) return "keygen takes one public key file";
    options_.publicKeyFile = options_.ports.front();
    options_.ports.clear();
    options_.port.reset();
  }
  if (command != Command::Keygen && (Given("--public-key") || Given("--no-password"))) {
    return "--public-key and -W belong to keygen";
  }
  const bool signing = command == Command::Sign || command == Command::Package;
  if (command != Command::Keygen && !signing && (Given("--secret-key") || Given("--password-file"))) {
    return "--secret-key and --password-file belong to keygen, sign and package";
  }
  if (!signing && (Given("--key") || Given("--trusted-comment"))) {
    return "--key and --trusted-comment belong to sign and package";
  }
  if (signing && !Given("--key") && !Given("--secret-key")) return words_.front() + " wants --key SEC";
  return {};
}

// ---- sealed packages: making one, and running one without changing it

void Definition::DefinePackageOptions() {
  AddValueOption(app_, "--image", "FILE", NonEmptyInto("--image", "firmware file", options_.packageImage),
                 "package: the firmware file to seal");
  AddValueOption(app_, "-o,--output", "FILE", NonEmptyInto("--output", "file name", options_.packageOutput),
                 "package: the package to write (never over an existing\n"
                 "file); name it *.mxpkg");
  AddValueOption(
      app_, "--max-boards", "N",
      [this](const std::string& value) -> std::string {
        const auto number = WholeNumber(value, 1, static_cast<long>(package::kMaxBoardsLimit));
        if (!number) return "--max-boards wants a whole number from 1 to " + std::to_string(package::kMaxBoardsLimit);
        options_.boardWrites.maxBoards = static_cast<std::uint64_t>(*number);
        return {};
      },
      "package: at most N boards are flashed from the package, by\n"
      "every station that shares the record store");
}

// The settings a package seals may not be given beside it.
constexpr std::string_view kSealedOptions[] = {"--serial",        "--serial-range", "--pool",     "--board-data",
                                               "--board-data-at", "--retries",      "--read-gap", "--max-boards"};

std::string Definition::CheckPackageOptions() {
  const Command command = options_.command;
  if (command == Command::Package) {
    if (!Given("--image") || !Given("--output")) return "package wants --image FILE and -o FILE";
    if (Given("--db") || Given("--station")) return "--db and --station are the station's: give them to station";
    return {};
  }
  const bool runsPackage = CommandTakesFile(command) && options_.FileIsPackage();
  if (runsPackage && command != Command::Station && command != Command::Check) {
    return "a package (" + options_.file + ") runs with station; check checks it";
  }
  for (const std::string_view name : kSealedOptions) {
    if (runsPackage && Given(std::string(name))) {
      return std::string(name) + " is sealed in the package and cannot be given with it";
    }
  }
  if (Given("--image") || Given("--output") || Given("--max-boards")) {
    return "--image, --output and --max-boards belong to package";
  }
  return {};
}
// ---- end of sealed packages

ParsedCommandLine UsageError(std::string error) {
  ParsedCommandLine parsed;
  parsed.action = ParsedCommandLine::Action::UsageError;
  parsed.error = std::move(error);
  return parsed;
}

ParsedCommandLine Definition::Parse(const std::vector<std::string>& arguments) {
  ParsedCommandLine parsed;
  try {
    app_.parse(ArgumentsForCli11(arguments));
  } catch (const HelpAsked&) {
    parsed.action = ParsedCommandLine::Action::ShowHelp;
    return parsed;
  } catch (const VersionAsked&) {
    parsed.action = ParsedCommandLine::Action::ShowVersion;
    return parsed;
  } catch (const CLI::ArgumentMismatch& mismatch) {
    return UsageError(WhyMissingValue(mismatch));
  } catch (const CLI::ParseError& error) {
    return UsageError(error.what());
  }
  if (std::string error = CollectWords(); !error.empty()) return UsageError(error);
  if (std::string error = CheckWords(); !error.empty()) return UsageError(error);
  if (std::string error = CheckPackageOptions(); !error.empty()) return UsageError(error);
  if (std::string error = CheckCombinations(); !error.empty()) return UsageError(error);
  if (std::string error = CheckBoardWrites(); !error.empty()) return UsageError(error);
  if (std::string error = CheckSignatureOptions(); !error.empty()) return UsageError(error);
  parsed.action = ParsedCommandLine::Action::Run;
  parsed.options = options_;
  return parsed;
}

// CLI11 wants the arguments last first. It would also take the next argument
// as the value of "--name=", so an empty value is handed over as one.
std::vector<std::string> Definition::ArgumentsForCli11(const std::vector<std::string>& arguments) const {
  std::vector<std::string> given;
  bool optionsEnded = false;
  for (const std::string& argument : arguments) {
    optionsEnded = optionsEnded || argument == "--";
    const std::string name = argument.substr(0, argument.size() - 1);
    const CLI::Option* option = !optionsEnded && argument.starts_with("--") && argument.find('=') == name.size()
                                    ? app_.get_option_no_throw(name)
                                    : nullptr;
    if (option && option->get_items_expected_max() != 0) {
      given.insert(given.end(), {name, ""});
    } else {
      given.push_back(argument);
    }
  }
  std::reverse(given.begin(), given.end());
  return given;
}

// CLI11 names the option first: "--port: 1 required NAME missing", or
// "quiet was given a disallowed flag override".
std::string Definition::WhyMissingValue(const CLI::ArgumentMismatch& mismatch) const {
  const std::string text = mismatch.what();
  const std::string name = text.substr(0, text.find_first_of(": "));
  const CLI::Option* option = app_.get_option_no_throw(name.starts_with("-") ? name : "--" + name);
  if (!option) return text;
  return option->get_name() + (option->get_items_expected_max() == 0 ? " takes no value" : " wants a value");
}

// CLI11 leaves over unknown options, "--", and the words beyond COMMAND and
// FILE. Before "--" a word that starts with '-' is an option; after it, none.
std::string Definition::CollectWords() {
  if (Given("COMMAND")) words_.push_back(command_);
  if (Given("FILE")) words_.push_back(file_);
  bool optionsEnded = false;
  for (const std::string& left : app_.remaining()) {
    if (!optionsEnded && left == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && left.size() > 1 && left.front() == '-') {
      return "unknown option " + left.substr(0, left.find('='));
    } else {
      words_.push_back(left);
    }
  }
  return {};
}

std::string Definition::CheckWords() {
  if (words_.empty()) return "no command given";
  const CommandEntry* command = FindCommand(words_.front());
  if (!command) return "unknown command \"" + words_.front() + "\"";
  options_.command = command->command;

  const std::size_t wanted = CommandTakesWordFile(options_.command) ? 2 : 1;
  if (words_.size() < wanted) return words_.front() + " wants a firmware FILE";
  if (words_.size() > wanted) return "unexpected argument \"" + words_[wanted] + "\"";
  if (wanted == 2) {
    if (words_[1].empty()) return words_.front() + " wants a firmware FILE";
    options_.file = words_[1];
  }
  return {};
}

std::string Definition::CheckCombinations() {
  if (options_.allPorts && !options_.ports.empty()) return "--all-ports and --port exclude each other";
  const bool station = options_.command == Command::Station;
  const bool package = options_.command == Command::Package;
  if (!station && ((!package && Given("--retries")) || Given("--log"))) return "--retries and --log belong to station";
  if (station && options_.allPorts) return "station watches for ports itself; give fixed ones with --port";
  if ((station || package) && !Given("--retries")) options_.retries = kDefaultStationRetries;
  if (options_.longListing && options_.command != Command::Ports) return "--long goes with ports";
  if (options_.ports.size() == 1) options_.port = options_.ports.front();
  return {};
}

// ---- what each board gets written: --serial, --board-data and their company

// A device address as the write frames carry it: "0x0FF0" or decimal.
std::optional<std::uint32_t> DeviceAddress(std::string_view text) {
  const bool hex = text.starts_with("0x") || text.starts_with("0X");
  if (hex) text.remove_prefix(2);
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, hex ? 16 : 10);
  if (text.empty() || text.front() == '-' || text.front() == '+' || error != std::errc{} ||
      end != text.data() + text.size() || value > kMaxDeviceAddress) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::uint64_t> SerialNumber(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string AddressComplaint(const std::string& name, const std::string& value) {
  return name + " wants a device address from 0 to 0xFFFFFF (hex with 0x, or decimal), not \"" + value + "\"";
}

ValueSetter TextInto(std::string name, std::string& target) {
  return [name, &target](const std::string& value) -> std::string {
    if (value.empty()) return name + " wants a value";
    target = value;
    return {};
  };
}

void Definition::DefineBoardWriteOptions() {
  BoardWrites& writes = options_.boardWrites;
  AddValueOption(
      app_, "--serial", "ADDR[:FORMAT]",
      [&writes](const std::string& value) -> std::string {
        const std::size_t colon = value.find(':');
        const auto address = DeviceAddress(std::string_view(value).substr(0, colon));
        if (!address) return AddressComplaint("--serial", value.substr(0, colon));
        if (colon != std::string::npos) {
          const auto format = ParseNumberFormat(std::string_view(value).substr(colon + 1));
          if (!format) {
            return "--serial wants a FORMAT of u32le, u32be, u16le, u16be, u64le, dec:N (1 to 20) or hex:N (1 to 16), "
                   "not \"" +
                   value.substr(colon + 1) + "\"";
          }
          writes.serialFormat = *format;
        }
        writes.serialAddress = address;
        return {};
      },
      "update, wizard, station: write a serial number from the\n"
      "pool into each board's image at device address ADDR\n"
      "(0x0FF0 or decimal, as the write frames carry it), as\n"
      "FORMAT: u32le (default), u32be, u16le, u16be, u64le,\n"
      "dec:N (N ASCII digits) or hex:N (N upper-case hex digits);\n"
      "check shows where it would go");
  AddValueOption(
      app_, "--serial-range", "FIRST[-LAST]",
      [&writes](const std::string& value) -> std::string {
        const std::size_t dash = value.find('-');
        const auto first = SerialNumber(std::string_view(value).substr(0, dash));
        const auto last = dash == std::string::npos ? std::optional<std::uint64_t>()
                                                    : SerialNumber(std::string_view(value).substr(dash + 1));
        if (!first || (dash != std::string::npos && (!last || *last < *first))) {
          return "--serial-range wants FIRST or FIRST-LAST, whole numbers with FIRST <= LAST, not \"" + value + "\"";
        }
        writes.serialFirst = *first;
        writes.serialLast = last;
        return {};
      },
      "the pool's numbers (default 1, without end)");
  AddValueOption(app_, "--pool", "NAME", TextInto("--pool", writes.pool),
                 "the pool the serial numbers come from (default \"default\")");
  AddValueOption(app_, "--db", "LOCATION", TextInto("--db", writes.database),
                 "the record store: an SQLite file, or a PostgreSQL\n"
                 "connection string (default: the station's own file)");
  AddValueOption(app_, "--station", "NAME", TextInto("--station", writes.station),
                 "the station's name in the records (default: host name)");
  AddValueOption(app_, "--board-data", "FILE", TextInto("--board-data", writes.boardDataFile),
                 "one line of hex bytes per board (a MAC address, a key),\n"
                 "in order, each line used once, written at --board-data-at");
  AddValueOption(
      app_, "--board-data-at", "ADDR",
      [&writes](const std::string& value) -> std::string {
        writes.boardDataAt = DeviceAddress(value);
        return writes.boardDataAt ? "" : AddressComplaint("--board-data-at", value);
      },
      "the device address of each board's line of --board-data");
}

std::string Definition::CheckBoardWrites() {
  const BoardWrites& writes = options_.boardWrites;
  const Command command = options_.command;
  const bool writing = command == Command::Update || command == Command::Wizard || command == Command::Station ||
                       command == Command::Package;
  const bool any = writes.Any() || Given("--board-data-at") || Given("--serial-range") || Given("--pool") ||
                   Given("--db") || Given("--station");
  if (any && !writing && command != Command::Check) {
    return "--serial and --board-data go with update, wizard, station and check";
  }
  if (!writes.Serial() && (Given("--serial-range") || Given("--pool")))
    return "--serial-range and --pool go with --serial";
  // update, wizard and station record every board in the store; check only
  // shows where bytes go. A package's own settings may want the store.
  if (!writing && !writes.Any() && Given("--db") && !options_.FileIsPackage())
    return "--db goes with --serial or --board-data";
  if (!writes.UsesStore() && command != Command::Station && Given("--station") && !options_.FileIsPackage())
    return "--station goes with --serial or --db";
  if (writes.BoardData() != writes.boardDataAt.has_value()) return "--board-data and --board-data-at go together";
  if (!writes.Serial()) return {};
  const std::uint64_t highest = writes.serialLast.value_or(writes.serialFirst);
  if (highest > LargestNumber(writes.serialFormat)) {
    return "--serial " + writes.serialFormat.Name() + " holds numbers up to " +
           std::to_string(LargestNumber(writes.serialFormat)) + ", and the range reaches " + std::to_string(highest);
  }
  const std::uint64_t serialEnd = std::uint64_t{*writes.serialAddress} + writes.serialFormat.Width();
  if (serialEnd > kMaxDeviceAddress + std::uint64_t{1}) return "--serial: the number would end past address 0xFFFFFF";
  return {};
}
// ---- end of what each board gets written

// "[-p|--port NAME]...": the short forms, then the long one, then the value.
std::string OptionSynopsis(const CLI::Option& option) {
  std::string names;
  for (const std::string& name : option.get_snames()) names += "-" + name + "|";
  names += option.get_name();
  const std::string value = option.get_option_text().empty() ? "" : " " + option.get_option_text();
  const bool repeatable = option.get_name() == "--port" || option.get_name() == "--trust";
  return "[" + names + value + "]" + (repeatable ? "..." : "");
}

// Words filled into lines of at most kUsageWidth, the later ones indented.
std::string FilledLines(const std::string& start, const std::vector<std::string>& words) {
  std::string text;
  std::string line = start;
  for (const std::string& word : words) {
    if (line.size() + 1 + word.size() > kUsageWidth) {
      text += line + "\n";
      line = std::string(start.size(), ' ');
    }
    line += " " + word;
  }
  return text + line + "\n";
}

std::string Definition::Usage() const {
  std::vector<std::string> general;
  std::vector<std::string> station{"station", "FILE", OptionSynopsis(*app_.get_option("--port"))};
  for (const CLI::Option* option : app_.get_options([](const CLI::Option* o) { return o->nonpositional(); })) {
    if (option->get_name() == "--help" || option->get_name() == "--version") continue;
    (IsStationOnly(*option) ? station : general).push_back(OptionSynopsis(*option));
  }
  general.insert(general.end(), {"COMMAND", "[FILE]"});
  std::string commands = "commands:";
  for (const CommandEntry& entry : Commands()) commands += " " + CommandWithFile(entry) + ",";
  commands.back() = '\n';
  return FilledLines("usage: mx7410-flash", general) + FilledLines("       mx7410-flash", station) + commands +
         "Try 'mx7410-flash --help' for more.\n";
}

}  // namespace

bool CommandTakesFile(Command command) {
  return command == Command::Update || command == Command::Restore || command == Command::Wizard ||
         command == Command::Check || command == Command::Station;
}

bool CommandUsesDevice(Command command) {
  return command != Command::Ports && command != Command::Check && command != Command::Keygen &&
         command != Command::Sign && command != Command::Package;
}

namespace {

// records has options of its own, whose names other commands use otherwise.
ParsedCommandLine ParseRecordsCommandLine(const std::vector<std::string>& arguments) {
  const ParsedRecords records = ParseRecordsArguments(arguments);
  if (!records.error.empty()) return UsageError(records.error);
  ParsedCommandLine parsed;
  parsed.action = records.helpAsked ? ParsedCommandLine::Action::ShowRecordsHelp : ParsedCommandLine::Action::Run;
  parsed.options.command = Command::Records;
  if (records.options) parsed.options.records = *records.options;
  return parsed;
}

}  // namespace

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
  if (IsRecordsCommand(arguments)) return ParseRecordsCommandLine(arguments);
  Definition definition;
  return definition.Parse(arguments);
}

std::string UsageText() {
  const Definition definition;
  return definition.Usage();
}

std::string HelpText() {
  const Definition definition;
  return definition.Help();
}

}  // namespace mx::flash
