#include "sim/SimCommandLine.h"

#include <CLI/CLI.hpp>
#include <charconv>
#include <cstdint>
#include <functional>

namespace mx::sim {

namespace {

using Setter = std::function<std::string(CommandLine&, const std::string&)>;  // returns an error text

struct OptionEntry {
  const char* name;
  const char* value;  // nullptr: a flag without a value
  const char* help;
  Setter set;
};

std::optional<long long> ParseNumber(const std::string& text, long long min, long long max) {
  long long value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || text.empty() || value < min || value > max) return std::nullopt;
  return value;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Hex digits in pairs; blanks, ':', '-' and ',' between pairs are allowed.
std::optional<std::vector<std::uint8_t>> ParseHexBytes(const std::string& text) {
  std::vector<std::uint8_t> bytes;
  int high = -1;
  for (char c : text) {
    if (high < 0 && (c == ' ' || c == ':' || c == '-' || c == ',')) continue;
    const int digit = HexDigit(c);
    if (digit < 0) return std::nullopt;
    if (high < 0) {
      high = digit;
    } else {
      bytes.push_back(static_cast<std::uint8_t>(high * 16 + digit));
      high = -1;
    }
  }
  if (high >= 0 || bytes.empty()) return std::nullopt;
  return bytes;
}

// A 24-bit device address: "0x0FF0" or decimal.
std::optional<std::uint32_t> ParseAddress(const std::string& text) {
  const bool hex = text.starts_with("0x") || text.starts_with("0X");
  const std::string digits = hex ? text.substr(2) : text;
  std::uint32_t value = 0;
  const char* end = digits.data() + digits.size();
  const auto [ptr, ec] = std::from_chars(digits.data(), end, value, hex ? 16 : 10);
  if (ec != std::errc() || ptr != end || digits.empty() || value > kMaxDeviceAddress) return std::nullopt;
  return value;
}

// "K:N" with K >= 1 and N >= 0.
std::optional<std::pair<int, int>> ParsePair(const std::string& text) {
  const auto colon = text.find(':');
  if (colon == std::string::npos) return std::nullopt;
  const auto first = ParseNumber(text.substr(0, colon), 1, 1'000'000);
  const auto second = ParseNumber(text.substr(colon + 1), 0, 1'000'000'000);
  if (!first || !second) return std::nullopt;
  return std::pair<int, int>(static_cast<int>(*first), static_cast<int>(*second));
}

std::string Bad(const std::string& option, const std::string& value, const char* expected) {
  return "bad value '" + value + "' for " + option + " (expected " + expected + ")";
}

// A setter for an integer option in [min, max].
Setter Number(const char* option, long long min, long long max, std::function<void(CommandLine&, long long)> apply) {
  return [=](CommandLine& line, const std::string& value) -> std::string {
    const auto number = ParseNumber(value, min, max);
    if (!number)
      return Bad(option, value, ("a number from " + std::to_string(min) + " to " + std::to_string(max)).c_str());
    apply(line, *number);
    return {};
  };
}

Setter Text(std::function<void(CommandLine&, const std::string&)> apply) {
  return [=](CommandLine& line, const std::string& value) -> std::string {
    if (value.empty()) return "empty value";
    apply(line, value);
    return {};
  };
}

Setter Flag(std::function<void(CommandLine&)> apply) {
  return [=](CommandLine& line, const std::string&) -> std::string {
    apply(line);
    return {};
  };
}

std::chrono::milliseconds Ms(long long value) { return std::chrono::milliseconds(value); }

constexpr long long kMaxMs = 3'600'000;
constexpr long long kMaxBlock = 1'000'000;
constexpr long long kMaxCount = 1'000'000'000;
constexpr std::size_t kHelpColumn = 28;

constexpr const char* kDescription =
    "A simulated Mx7410 bootloader on a pseudo-terminal. Prints the port it serves and publishes it for the\n"
    "updater's port discovery; runs until SIGINT or SIGTERM, then removes what it published.";

constexpr const char* kNotes =
    "Write blocks are counted from 1 in the order received, starting again at every erase; a block sent again\n"
    "at the same address keeps its number.\n"
    "Exit status: 0; 1 when --verify finds a difference; 2 on a bad option or another error.";

const std::vector<OptionEntry>& Options() {
  static const std::vector<OptionEntry> options{
      {"--version-major", "N", "major version in the version reply (0..255, default 1)",
       Number("--version-major", 0, 255,
              [](CommandLine& l, long long v) { l.options.major = static_cast<std::uint8_t>(v); })},
      {"--version-minor", "N", "minor version in the version reply (0..255, default 1)",
       Number("--version-minor", 0, 255,
              [](CommandLine& l, long long v) { l.options.minor = static_cast<std::uint8_t>(v); })},
      {"--version-bytes", "HEX12",
       "the six bytes after the version, shown by the host as OldVersion (first three) and RestorePoint (last "
       "three); default 010203010200",
       [](CommandLine& l, const std::string& v) -> std::string {
         const auto bytes = ParseHexBytes(v);
         if (!bytes || bytes->size() != 6) return Bad("--version-bytes", v, "12 hex digits");
         std::copy(bytes->begin(), bytes->end(), l.options.versionBytes.begin());
         return {};
       }},
      {"--baud", "N", "emulate a line at N baud (10 bits per byte) both ways; 0 = off (default)",
       Number("--baud", 0, 10'000'000,
              [](CommandLine& l, long long v) { l.options.baud = static_cast<std::uint32_t>(v); })},
      {"--latency", "MS",
       "hand the replies to the host as a USB serial adapter does: held, then passed on together at every MS ms "
       "tick of its latency timer (16 on common adapters); 0 = at once (default)",
       Number("--latency", 0, kMaxMs, [](CommandLine& l, long long v) { l.options.latencyTimer = Ms(v); })},
      {"--flash-ms", "N", "take N ms to write each accepted block before replying",
       Number("--flash-ms", 0, kMaxMs, [](CommandLine& l, long long v) { l.options.flashWriteTime = Ms(v); })},
      {"--refuse-block", "K:N",
       "refuse write block K (counted from 1 after each erase) the first N times it arrives; repeatable",
       [](CommandLine& l, const std::string& v) -> std::string {
         const auto pair = ParsePair(v);
         if (!pair) return Bad("--refuse-block", v, "K:N, block K >= 1, N >= 0");
         l.options.refuseBlock[pair->first] = pair->second;
         return {};
       }},
      {"--drop-reply", "K", "send no reply to write block K, the first time only",
       Number("--drop-reply", 1, kMaxBlock,
              [](CommandLine& l, long long v) { l.options.dropReplyToBlock = static_cast<int>(v); })},
      {"--refuse-erase", "N", "refuse the first N erase commands",
       Number("--refuse-erase", 0, kMaxCount,
              [](CommandLine& l, long long v) { l.options.refuseErase = static_cast<int>(v); })},
      {"--noise", "HEX", "send these bytes before every reply frame (not 7D or 7E)",
       [](CommandLine& l, const std::string& v) -> std::string {
         const auto bytes = ParseHexBytes(v);
         if (!bytes) return Bad("--noise", v, "hex bytes");
         l.options.noiseBeforeReplies = *bytes;
         return {};
       }},
      {"--split-gap", "MS", "send replies one byte per write, MS ms apart",
       Number("--split-gap", 0, kMaxMs, [](CommandLine& l, long long v) { l.options.splitReplyGap = Ms(v); })},
      {"--xoff-after", "K:MS", "after accepting write block K send XOFF (7D), then XON (7E) MS ms later",
       [](CommandLine& l, const std::string& v) -> std::string {
         const auto pair = ParsePair(v);
         if (!pair || pair->second > kMaxMs) return Bad("--xoff-after", v, "K:MS, block K >= 1");
         l.options.xoffAfterBlock = pair->first;
         l.options.xoffHold = Ms(pair->second);
         return {};
       }},
      {"--silent", nullptr, "never answer", Flag([](CommandLine& l) { l.options.silent = true; })},
      {"--double-version", "N",
       "answer the first N version requests with 55 55 01 00 01 01 FD 04 55 55 01 01 FE 04 in one write",
       Number("--double-version", 0, kMaxCount,
              [](CommandLine& l, long long v) { l.options.doubleVersionReplies = static_cast<int>(v); })},
      {"--power-on-after", "MS",
       "\"power on\": send the version reply frame once, MS ms after the host first opens the port",
       Number("--power-on-after", 0, kMaxMs, [](CommandLine& l, long long v) { l.options.powerOnAfter = Ms(v); })},
      {"--power-on-bad-checksum", nullptr, "send the power-on frame with a wrong checksum",
       Flag([](CommandLine& l) { l.options.powerOnBadChecksum = true; })},
      {"--hang-up-after", "K",
       "vanish after write block K (an unplugged device): its reply goes out, then the pseudo-terminal "
       "closes as soon as the host writes again, at the latest 0.5 s later",
       Number("--hang-up-after", 1, kMaxBlock,
              [](CommandLine& l, long long v) { l.options.hangUpAfterBlock = static_cast<int>(v); })},
      {"--log", nullptr, "log every frame in both directions on stderr",
       Flag([](CommandLine& l) { l.options.logFrames = true; })},
      {"--port-dir", "DIR",
       "publish the port in DIR (default: $MX7410_PORT_DIR, else $XDG_RUNTIME_DIR/mx7410, else /tmp/mx7410-<uid>)",
       Text([](CommandLine& l, const std::string& v) { l.portDirectory = v; })},
      {"--name", "NAME", "name of the published port (default: the first free simN)",
       Text([](CommandLine& l, const std::string& v) { l.name = v; })},
      {"--dump-hex", "FILE", "write the flash memory as Intel HEX to FILE on exit",
       Text([](CommandLine& l, const std::string& v) { l.dumpHex = v; })},
      {"--dump-bin", "FILE", "write the flash memory as raw binary (gaps FF) to FILE on exit",
       Text([](CommandLine& l, const std::string& v) { l.dumpBinary = v; })},
      {"--verify", "FILE",
       "on exit compare the flash memory with the Intel HEX FILE, print the result; exit status 0 if they match, 1 if "
       "not",
       Text([](CommandLine& l, const std::string& v) { l.verify = v; })},
      {"--verify-serial", "ADDR:FORMAT",
       "with --verify: the board's own serial number lies at device address ADDR (0x0FF0 or decimal) as FORMAT "
       "(u32le, u32be, u16le, u16be, u64le, dec:N, hex:N); those bytes are not compared, the number found is printed",
       [](CommandLine& l, const std::string& v) -> std::string {
         const std::size_t colon = v.find(':');
         const auto address = ParseAddress(v.substr(0, colon));
         const auto format = colon == std::string::npos ? std::nullopt : ParseNumberFormat(v.substr(colon + 1));
         if (!address || !format) return Bad("--verify-serial", v, "ADDR:FORMAT, such as 0x0FF0:u32le");
         l.verifySerial = CommandLine::SerialPlace{*address, *format};
         return {};
       }},
      {"--exit-after-end", nullptr, "exit 0.5 s after an end-of-image frame has been received",
       Flag([](CommandLine& l) { l.exitAfterEnd = true; })},
      {"--help", nullptr, "show this help and exit", Flag([](CommandLine& l) { l.help = true; })},
      {"--version", nullptr, "show the version and exit", Flag([](CommandLine& l) { l.version = true; })},
  };
  return options;
}

std::string CheckCombination(const CommandLine& line) {
  if (line.verifySerial && line.verify.empty()) return "--verify-serial needs --verify";
  if (line.options.powerOnBadChecksum && !line.options.powerOnAfter) {
    return "--power-on-bad-checksum needs --power-on-after";
  }
  return CheckOptions(line.options);
}

const OptionEntry* FindOption(const std::string& name) {
  for (const OptionEntry& entry : Options()) {
    if (name == entry.name) return &entry;
  }
  return nullptr;
}

// CLI11 wants the arguments last first. It would take the next argument as
// the value of "--name=", so an empty value is handed over as one.
std::vector<std::string> ArgumentsForCli11(const std::vector<std::string>& args) {
  std::vector<std::string> given;
  for (const std::string& arg : args) {
    const std::string name = arg.substr(0, arg.size() - 1);
    const OptionEntry* entry = arg.ends_with('=') ? FindOption(name) : nullptr;
    if (entry && entry->value) {
      given.insert(given.end(), {name, ""});
    } else {
      given.push_back(arg);
    }
  }
  return {given.rbegin(), given.rend()};
}

// CLI11 names the option first: "--baud: 1 required N missing", or
// "silent was given a disallowed flag override".
std::string WhyMissingValue(const CLI::ArgumentMismatch& mismatch) {
  const std::string text = mismatch.what();
  std::string name = text.substr(0, text.find_first_of(": "));
  if (!name.starts_with("-")) name = "--" + name;
  const OptionEntry* entry = FindOption(name);
  if (!entry) return text;
  return name + (entry->value ? std::string(" needs a value (") + entry->value + ")" : " takes no value");
}

// Usage first, then what the program is, the options and the notes.
class HelpFormatter : public CLI::Formatter {
 public:
  HelpFormatter() { column_width(kHelpColumn); }
  std::string make_help(const CLI::App* app, std::string, CLI::AppFormatMode mode) const override {
    return "Usage: " + app->get_name() + " [OPTION]...\n" + app->get_description() + "\n" + make_groups(app, mode) +
           make_footer(app);
  }
};

// Every option of the table, its values checked and stored into `line`.
// Values arrive as text: CLI11's own number reading would take "010" as octal.
void Define(CLI::App& app, CommandLine& line) {
  app.formatter(std::make_shared<HelpFormatter>());
  app.footer(kNotes);
  app.set_help_flag();
  app.allow_extras();  // named in our own words
  for (const OptionEntry& entry : Options()) {
    if (!entry.value) {
      app.add_flag_callback(
             entry.name, [&line, &entry] { entry.set(line, ""); }, entry.help)
          ->disable_flag_override();
      continue;
    }
    auto apply = [&line, &entry](const std::vector<std::string>& values) {
      for (const std::string& value : values) {
        if (std::string problem = entry.set(line, value); !problem.empty()) {
          throw CLI::ValidationError(std::string(entry.name) + ": " + problem);
        }
      }
    };
    app.add_option_function<std::vector<std::string>>(entry.name, apply, entry.help)
        ->allow_extra_args(false)  // one value per occurrence, taken as it stands
        ->option_text(entry.value);
  }
  app.add_flag_callback("-h", [&line] { line.help = true; })->group("");  // the short form, not listed
}

}  // namespace

std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& args, std::string* error) {
  CommandLine line;
  CLI::App app{kDescription, "mx7410-sim"};
  Define(app, line);
  try {
    app.parse(ArgumentsForCli11(args));
  } catch (const CLI::ArgumentMismatch& mismatch) {
    *error = WhyMissingValue(mismatch);
    return std::nullopt;
  } catch (const CLI::ParseError& problem) {
    *error = problem.what();
    return std::nullopt;
  }
  if (const auto left = app.remaining(); !left.empty()) {
    *error = (left.front().starts_with("-") ? "unknown option '" : "unexpected argument '") + left.front() + "'";
    return std::nullopt;
  }
  if (line.help || line.version) return line;
  if (std::string problem = CheckCombination(line); !problem.empty()) {
    *error = problem;
    return std::nullopt;
  }
  return line;
}

std::string HelpText() {
  CommandLine line;
  CLI::App app{kDescription, "mx7410-sim"};
  Define(app, line);
  return app.help();
}

}  // namespace mx::sim
