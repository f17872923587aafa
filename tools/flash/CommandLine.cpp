#include "CommandLine.h"

#include <algorithm>
#include <charconv>
#include <functional>
#include <map>
#include <string_view>

namespace mx::flash {

namespace {

constexpr int kMaxWaitSeconds = 3600;
constexpr std::uint32_t kMaxReadGapMs = 60000;
constexpr long kMaxRetries = 100;
constexpr int kDefaultStationRetries = 2;

// Short forms of the common options.
const std::map<std::string_view, std::string_view>& ShortOptions() {
  static const std::map<std::string_view, std::string_view> names{
      {"-p", "--port"}, {"-q", "--quiet"}, {"-h", "--help"}, {"-V", "--version"}};
  return names;
}

const std::map<std::string_view, Command>& CommandNames() {
  static const std::map<std::string_view, Command> names{
      {"ports", Command::Ports},     {"connect", Command::Connect}, {"update", Command::Update},
      {"restore", Command::Restore}, {"erase", Command::Erase},     {"wizard", Command::Wizard},
      {"check", Command::Check},     {"station", Command::Station},
  };
  return names;
}

// A whole number in [low, high] written with decimal digits only.
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

// Applies one option's value; returns an error text, empty when accepted.
using ValueSetter = std::function<std::string(Options&, const std::string&)>;

std::string SetWholeNumber(const std::string& name, const std::string& value, long low, long high, long& out) {
  const auto number = WholeNumber(value, low, high);
  if (!number) {
    return name + " wants a whole number from " + std::to_string(low) + " to " + std::to_string(high) + ", not \"" +
           value + "\"";
  }
  out = *number;
  return {};
}

const std::map<std::string_view, ValueSetter>& ValueOptions() {
  static const std::map<std::string_view, ValueSetter> options{
      {"--port",
       [](Options& o, const std::string& v) -> std::string {
         if (v.empty()) return "--port wants a port name";
         o.ports.push_back(v);
         return {};
       }},
      {"--wait",
       [](Options& o, const std::string& v) {
         long n = 0;
         std::string error = SetWholeNumber("--wait", v, 1, kMaxWaitSeconds, n);
         if (error.empty()) o.waitSeconds = static_cast<int>(n);
         return error;
       }},
      {"--lang",
       [](Options& o, const std::string& v) -> std::string {
         const std::string upper = UpperCase(v);
         if (upper != "ENG" && upper != "CH") return "--lang wants ENG or CH, not \"" + v + "\"";
         o.language = upper;
         return {};
       }},
      {"--read-gap",
       [](Options& o, const std::string& v) {
         long n = 0;
         std::string error = SetWholeNumber("--read-gap", v, 1, kMaxReadGapMs, n);
         if (error.empty()) o.readGapMs = static_cast<std::uint32_t>(n);
         return error;
       }},
      {"--retries",
       [](Options& o, const std::string& v) {
         long n = 0;
         std::string error = SetWholeNumber("--retries", v, 0, kMaxRetries, n);
         if (error.empty()) o.retries = static_cast<int>(n);
         return error;
       }},
      {"--log",
       [](Options& o, const std::string& v) -> std::string {
         if (v.empty()) return "--log wants a file name";
         o.logFile = v;
         return {};
       }},
      {"--max-wait",
       [](Options& o, const std::string& v) {
         long n = 0;
         std::string error = SetWholeNumber("--max-wait", v, 1, 24L * 3600, n);
         if (error.empty()) o.maxWaitSeconds = static_cast<int>(n);
         return error;
       }},
  };
  return options;
}

ParsedCommandLine Usage(std::string error) {
  ParsedCommandLine parsed;
  parsed.action = ParsedCommandLine::Action::UsageError;
  parsed.error = std::move(error);
  return parsed;
}

}  // namespace

bool CommandTakesFile(Command command) {
  return command == Command::Update || command == Command::Restore || command == Command::Wizard ||
         command == Command::Check || command == Command::Station;
}

bool CommandUsesDevice(Command command) { return command != Command::Ports && command != Command::Check; }

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
  ParsedCommandLine parsed;
  std::vector<std::string> positional;
  bool optionsEnded = false;

  bool stationOnlyGiven = false;
  bool retriesGiven = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const auto shortForm = optionsEnded ? ShortOptions().end() : ShortOptions().find(arguments[i]);
    const std::string argument = shortForm == ShortOptions().end() ? arguments[i] : std::string(shortForm->second);
    if (optionsEnded || argument.size() < 2 || argument.front() != '-') {
      positional.push_back(argument);
      continue;
    }
    if (argument == "--") {
      optionsEnded = true;
    } else if (argument == "--help") {
      parsed.action = ParsedCommandLine::Action::ShowHelp;
      return parsed;
    } else if (argument == "--version") {
      parsed.action = ParsedCommandLine::Action::ShowVersion;
      return parsed;
    } else if (argument == "--quiet") {
      parsed.options.quiet = true;
    } else if (argument == "--all-ports") {
      parsed.options.allPorts = true;
    } else if (argument == "--json") {
      parsed.options.json = true;
    } else if (argument == "--long" || argument == "-l") {
      parsed.options.longListing = true;
    } else {
      const std::size_t equals = argument.find('=');
      const std::string name = argument.substr(0, equals);
      const auto option = ValueOptions().find(name);
      if (option == ValueOptions().end()) return Usage("unknown option " + name);
      stationOnlyGiven = stationOnlyGiven || name == "--retries" || name == "--log";
      retriesGiven = retriesGiven || name == "--retries";
      std::string value;
      if (equals != std::string::npos) {
        value = argument.substr(equals + 1);
      } else if (i + 1 < arguments.size()) {
        value = arguments[++i];
      } else {
        return Usage(name + " wants a value");
      }
      if (std::string error = option->second(parsed.options, value); !error.empty()) return Usage(error);
    }
  }

  if (positional.empty()) return Usage("no command given");
  const auto command = CommandNames().find(positional.front());
  if (command == CommandNames().end()) return Usage("unknown command \"" + positional.front() + "\"");
  parsed.options.command = command->second;

  const std::size_t wanted = CommandTakesFile(parsed.options.command) ? 2 : 1;
  if (positional.size() < wanted) return Usage(positional.front() + " wants a firmware FILE");
  if (positional.size() > wanted) return Usage("unexpected argument \"" + positional[wanted] + "\"");
  if (wanted == 2) {
    if (positional[1].empty()) return Usage(positional.front() + " wants a firmware FILE");
    parsed.options.file = positional[1];
  }
  if (parsed.options.allPorts && !parsed.options.ports.empty())
    return Usage("--all-ports and --port exclude each other");
  const bool station = parsed.options.command == Command::Station;
  if (stationOnlyGiven && !station) return Usage("--retries and --log belong to station");
  if (station && parsed.options.allPorts) return Usage("station watches for ports itself; give fixed ones with --port");
  if (station && !retriesGiven) parsed.options.retries = kDefaultStationRetries;
  if (parsed.options.longListing && parsed.options.command != Command::Ports) return Usage("--long goes with ports");
  if (parsed.options.ports.size() == 1) parsed.options.port = parsed.options.ports.front();
  parsed.action = ParsedCommandLine::Action::Run;
  return parsed;
}

std::string UsageText() {
  return "usage: mx7410-flash [-p|--port NAME]... [--all-ports] [--wait SECONDS] [--lang ENG|CH] [-q|--quiet] "
         "[-l|--long]\n"
         "                    [--json] [--read-gap MS] [--max-wait SECONDS] COMMAND [FILE]\n"
         "       mx7410-flash station FILE [--port NAME]... [--retries N] [--log FILE]\n"
         "commands: ports, connect, update FILE, restore FILE, erase, wizard FILE, check FILE, station FILE\n"
         "Try 'mx7410-flash --help' for more.\n";
}

std::string HelpText() {
  return R"(mx7410-flash: flashes Intel HEX firmware into an Mx7410 through its serial
bootloader, for scripts and production lines. It does what the updater window
does, with the same bytes on the wire, texts and time-outs.

usage: mx7410-flash [OPTIONS] COMMAND [FILE]

Commands:
  ports           list the serial ports, one a line; the last one is the
                  automatic choice: built-in ports first, then USB and ACM
                  adapters as they were plugged in (the newest last), then
                  simulated ones
  connect         greet the bootloader; print its version and the
                  OldVersion and RestorePoint lines; then disconnect
  update FILE     connect, then write FILE into the device (erase, blocks,
                  end) as the Update button does
  restore FILE    connect, then write FILE in restore mode, as the Restore
                  button does
  erase           connect, then erase the device only (the command itself
                  is the confirmation)
  wizard FILE     the Update Wizard: open the port, wait until the device is
                  switched on (or restarted), then connect and update
  check FILE      no device: read and check FILE as update would, and print
                  the refusal or a summary (data records, data bytes, first
                  and last address, write blocks)
  station FILE    a production station, until Ctrl-C: flash every board
                  that comes, each on its own and at once with the others:
                  on every port that appears (an adapter plugged in, a
                  simulator started), and on every --port each board that
                  powers on (as the wizard catches it)

Options:
  --long, -l         ports: one line per port with tab-separated fields:
                     name, device path, kind (built-in, USB, ACM, simulator),
                     USB vendor:product, serial number, /dev/serial/by-id and
                     by-path links, description; "-" where unknown
  --port, -p NAME    the port: a name as 'ports' lists it or as the window's
                     port box takes it (ttyUSB0, sim0), or a device path. Without
                     it the last listed port is taken at every connect. Give
                     it several times to run the command on every port at
                     once, each port as if it were alone.
  --all-ports        run the command on every port that 'ports' lists, at once
  --wait SECONDS     reply time-out in whole seconds (1 to 3600, default 3;
                     an erase raises it to at least 5, as the window does)
  --lang ENG|CH      language of the texts (default ENG)
  --quiet, -q        print only message texts and the final status lines
                     (for connect also the version lines); no progress bar
  --read-gap MS      line silence in milliseconds that ends a received chunk
                     (1 to 60000, default 100, as in the window)
  --max-wait SECONDS wizard only: stop waiting for the device after this long
                     (default: wait until interrupted)
  --json             standard output carries JSON Lines only: a "start", a
                     "progress" (at most every 250 ms) and an "end" object
                     for every port, then a "summary" (see the README)
  --retries N        station: write a board whose transfer timed out again,
                     from the erase, up to N times (0 to 100, default 2)
  --log FILE         station: append every board's record, one JSON object
                     a line, to FILE, on disk before that port's next board
  --help, -h         this text
  --version, -V      the program's version

Output:
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
                   listed after the host's serial ports
)";
}

}  // namespace mx::flash
