#include "Records.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <iomanip>
#include <map>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>

namespace mx::flash {

namespace {

using records::BoardRecord;

constexpr std::array<std::string_view, 6> kValueOptions = {"--db",     "--since", "--until",
                                                           "--serial", "--slot",  "--result"};

bool TakesValue(std::string_view name) {
  return std::find(kValueOptions.begin(), kValueOptions.end(), name) != kValueOptions.end();
}

std::optional<std::uint64_t> WholeNumber(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Stores one option's value; returns a complaint, empty when accepted.
std::string SetValue(RecordsOptions& options, const std::string& name, const std::string& value) {
  if (value.empty()) return name + " wants a value";
  if (name == "--db") {
    options.database = value;
  } else if (name == "--since" || name == "--until") {
    const auto time = StoredTime(value);
    if (!time) return name + " wants a UTC time such as 2026-12-09 or 2026-12-09T14:30:00Z, not \"" + value + "\"";
    (name == "--since" ? options.query.since : options.query.until) = *time;
  } else if (name == "--serial") {
    options.query.serial = WholeNumber(value);
    if (!options.query.serial) return "--serial wants a whole number, not \"" + value + "\"";
  } else if (name == "--slot") {
    options.query.slot = value;
  } else {
    options.query.result = value;
  }
  return {};
}

// Returns a complaint, empty when accepted; `next` moves past a separate value.
std::string TakeOption(RecordsOptions& options, const std::vector<std::string>& arguments, std::size_t& next,
                       bool& helpAsked) {
  const std::string& argument = arguments[next];
  const auto equals = argument.find('=');
  const std::string name = argument.substr(0, equals);
  if (name == "--help" || name == "-h") {
    helpAsked = true;
  } else if (name == "--json" || name == "--csv") {
    if (equals != std::string::npos) return name + " takes no value";
    const RecordsFormat format = name == "--json" ? RecordsFormat::Json : RecordsFormat::Csv;
    if (options.format != RecordsFormat::Table && options.format != format)
      return "--json and --csv exclude each other";
    options.format = format;
  } else if (name == "--summary") {
    if (equals != std::string::npos) return name + " takes no value";
    options.summary = true;
  } else if (TakesValue(name)) {
    if (equals != std::string::npos) return SetValue(options, name, argument.substr(equals + 1));
    if (next + 1 >= arguments.size()) return name + " wants a value";
    return SetValue(options, name, arguments[++next]);
  } else {
    return "unknown option " + name + " for records";
  }
  return {};
}

// Whether `text` follows `form` ('0' a digit, anything else itself; a 'T'
// may also be a blank) for all of its length, and is one of its lengths.
bool Follows(std::string_view text, std::string_view form) {
  if (text.size() != 10 && text.size() != 16 && text.size() != 19) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (form[i] == '0' ? !digit : text[i] != form[i] && !(form[i] == 'T' && text[i] == ' ')) return false;
  }
  return true;
}

int Number(std::string_view text, std::size_t at, std::size_t length) {
  if (at + length > text.size()) return 0;
  int value = 0;
  std::from_chars(text.data() + at, text.data() + at + length, value);
  return value;
}

}  // namespace

std::optional<std::string> StoredTime(const std::string& text) {
  std::string_view body = text;
  if (body.ends_with('Z') || body.ends_with('z')) body.remove_suffix(1);
  std::string millis = "000";
  if (const auto dot = body.find('.'); dot != std::string_view::npos) {
    const std::string_view digits = body.substr(dot + 1);
    if (dot != 19 || digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != digits.npos) {
      return std::nullopt;
    }
    millis.replace(0, digits.size(), digits);
    body = body.substr(0, dot);
  }
  if (!Follows(body, "0000-00-00T00:00:00")) return std::nullopt;
  const int hour = Number(body, 11, 2), minute = Number(body, 14, 2), second = Number(body, 17, 2);
  const std::chrono::year_month_day day{std::chrono::year(Number(body, 0, 4)),
                                        std::chrono::month(static_cast<unsigned>(Number(body, 5, 2))),
                                        std::chrono::day(static_cast<unsigned>(Number(body, 8, 2)))};
  if (!day.ok() || hour > 23 || minute > 59 || second > 59) return std::nullopt;
  char stored[64];
  std::snprintf(stored, sizeof stored, "%.10sT%02d:%02d:%02d.%sZ", body.data(), hour, minute, second, millis.c_str());
  return stored;
}

bool IsRecordsCommand(const std::vector<std::string>& arguments) {
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--") return i + 1 < arguments.size() && arguments[i + 1] == "records";
    if (argument.size() > 1 && argument.front() == '-') {
      if (TakesValue(argument) && argument.find('=') == std::string::npos) ++i;
      continue;
    }
    return argument == "records";
  }
  return false;
}

ParsedRecords ParseRecordsArguments(const std::vector<std::string>& arguments) {
  ParsedRecords parsed;
  RecordsOptions options;
  bool commandSeen = false;
  bool optionsEnded = false;
  for (std::size_t next = 0; next < arguments.size(); ++next) {
    const std::string& argument = arguments[next];
    if (!optionsEnded && argument == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && argument.size() > 1 && argument.front() == '-') {
      if (std::string complaint = TakeOption(options, arguments, next, parsed.helpAsked); !complaint.empty()) {
        parsed.error = complaint;
        return parsed;
      }
    } else if (!commandSeen && argument == "records") {
      commandSeen = true;
    } else {
      parsed.error = "unexpected argument \"" + argument + "\"";
      return parsed;
    }
  }
  if (parsed.helpAsked) return parsed;
  if (options.summary && options.format != RecordsFormat::Table) {
    parsed.error = "--summary prints a table; it takes no --json or --csv";
    return parsed;
  }
  parsed.options = options;
  return parsed;
}

namespace {

std::string SerialText(const BoardRecord& board) { return board.serial ? std::to_string(*board.serial) : "-"; }

// Columns padded to their widest cell; the last one as it is.
void PrintTable(const std::vector<std::vector<std::string>>& rows, std::ostream& out) {
  std::vector<std::size_t> widths(rows.front().size(), 0);
  for (const auto& row : rows) {
    for (std::size_t column = 0; column < row.size(); ++column)
      widths[column] = std::max(widths[column], row[column].size());
  }
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t column = 0; column < row.size(); ++column) {
      line += row[column];
      if (column + 1 < row.size()) line += std::string(widths[column] - row[column].size() + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out << line << '\n';
  }
}

// Quoted when it holds a separator, a quote or a line break, or starts or
// ends with a blank; quotes inside are doubled.
std::string CsvField(const std::string& field) {
  const bool quoted = field.find_first_of(",\"\r\n") != std::string::npos ||
                      (!field.empty() && (field.front() == ' ' || field.back() == ' '));
  if (!quoted) return field;
  std::string out = "\"";
  for (char c : field) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

std::vector<std::string> BoardFields(const BoardRecord& board) {
  return {board.station,
          board.slot,
          board.port,
          board.started,
          board.ended,
          board.file,
          board.fileSha256,
          board.serial ? std::to_string(*board.serial) : "",
          board.data.value_or(""),
          board.oldVersion,
          board.restorePoint,
          board.bootloaderVersion,
          board.result,
          board.reason,
          std::to_string(board.attempts),
          board.interrupted ? "true" : "false",
          board.packageId,
          board.keyId,
          board.trustedComment};
}

constexpr std::array<const char*, 19> kFieldNames = {
    "station",        "slot",   "port",     "started",     "ended",         "file",
    "file_sha256",    "serial", "data",     "old_version", "restore_point", "bootloader_version",
    "result",         "reason", "attempts", "interrupted", "package_id",    "key_id",
    "trusted_comment"};

// Milliseconds since 1970 of a stored time, for spans between boards.
std::optional<std::int64_t> TimeMs(const std::string& stored) {
  if (stored.size() < 23 || !StoredTime(stored)) return std::nullopt;
  const std::chrono::year_month_day day{std::chrono::year(Number(stored, 0, 4)),
                                        std::chrono::month(static_cast<unsigned>(Number(stored, 5, 2))),
                                        std::chrono::day(static_cast<unsigned>(Number(stored, 8, 2)))};
  const auto midnight = std::chrono::sys_days(day).time_since_epoch();
  return std::chrono::duration_cast<std::chrono::milliseconds>(midnight).count() +
         ((Number(stored, 11, 2) * 60 + Number(stored, 14, 2)) * 60 + Number(stored, 17, 2)) * 1000LL +
         Number(stored, 20, 3);
}

struct SlotTally {
  int passed = 0;
  int failed = 0;
  std::optional<std::int64_t> firstStart;
  std::optional<std::int64_t> lastEnd;
  std::optional<std::uint64_t> firstNumber;
  std::optional<std::uint64_t> lastNumber;
};

void Count(SlotTally& tally, const BoardRecord& board) {
  (board.result == records::kPassedResult ? tally.passed : tally.failed) += 1;
  if (const auto start = TimeMs(board.started)) tally.firstStart = std::min(tally.firstStart.value_or(*start), *start);
  if (const auto end = TimeMs(board.ended)) tally.lastEnd = std::max(tally.lastEnd.value_or(*end), *end);
  if (board.serial) {
    if (!tally.firstNumber) tally.firstNumber = board.serial;
    tally.lastNumber = board.serial;
  }
}

std::string Fixed(double value) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(1) << value;
  return text.str();
}

std::string PerHour(const SlotTally& tally) {
  if (!tally.firstStart || !tally.lastEnd || *tally.lastEnd <= *tally.firstStart) return "-";
  const double hours = static_cast<double>(*tally.lastEnd - *tally.firstStart) / 3'600'000.0;
  return Fixed((tally.passed + tally.failed) / hours);
}

std::string NumberText(const std::optional<std::uint64_t>& number) { return number ? std::to_string(*number) : "-"; }

}  // namespace

void PrintBoardTable(const std::vector<BoardRecord>& boards, std::ostream& out) {
  std::vector<std::vector<std::string>> rows{{"STARTED", "STATION", "SLOT", "SERIAL", "RESULT", "ATTEMPTS", "REASON"}};
  for (const BoardRecord& board : boards) {
    rows.push_back({board.started, board.station, board.slot, SerialText(board), board.result,
                    std::to_string(board.attempts) + (board.interrupted ? " interrupted" : ""), board.reason});
  }
  PrintTable(rows, out);
}

void PrintBoardJson(const std::vector<BoardRecord>& boards, std::ostream& out) {
  for (const BoardRecord& board : boards) {
    nlohmann::ordered_json object;
    const std::vector<std::string> fields = BoardFields(board);
    for (std::size_t i = 0; i < fields.size(); ++i) object[kFieldNames[i]] = fields[i];
    object["serial"] = board.serial ? nlohmann::ordered_json(*board.serial) : nlohmann::ordered_json(nullptr);
    object["data"] = board.data ? nlohmann::ordered_json(*board.data) : nlohmann::ordered_json(nullptr);
    object["attempts"] = board.attempts;
    object["interrupted"] = board.interrupted;
    out << object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
  }
}

void PrintBoardCsv(const std::vector<BoardRecord>& boards, std::ostream& out) {
  std::string header;
  for (const char* name : kFieldNames) header += (header.empty() ? "" : ",") + std::string(name);
  out << header << "\r\n";
  for (const BoardRecord& board : boards) {
    std::string line;
    for (const std::string& field : BoardFields(board)) line += (line.empty() ? "" : ",") + CsvField(field);
    out << line << "\r\n";
  }
}

void PrintBoardSummary(const std::vector<BoardRecord>& boards, std::ostream& out) {
  std::map<std::pair<std::string, std::string>, SlotTally> tallies;
  for (const BoardRecord& board : boards) Count(tallies[{board.station, board.slot}], board);
  std::vector<std::vector<std::string>> rows{
      {"STATION", "SLOT", "PASSED", "FAILED", "YIELD", "BOARDS/H", "FIRST", "LAST"}};
  for (const auto& [key, tally] : tallies) {
    const int boardsSeen = tally.passed + tally.failed;
    rows.push_back({key.first, key.second, std::to_string(tally.passed), std::to_string(tally.failed),
                    Fixed(100.0 * tally.passed / boardsSeen) + "%", PerHour(tally), NumberText(tally.firstNumber),
                    NumberText(tally.lastNumber)});
  }
  PrintTable(rows, out);
}

std::string RecordsHelpText() {
  return "usage: mx7410-flash records [--db LOCATION] [--since TIME] [--until TIME] [--serial N]\n"
         "                            [--slot SLOT] [--result RESULT] [--json|--csv|--summary]\n"
         "The recorded boards, oldest first: a table, JSON Lines (--json) or CSV with a\n"
         "header row (--csv); --summary: per station and slot the passed and failed\n"
         "boards, the yield, boards per hour, and the first and last serial number.\n"
         "  --db LOCATION   an SQLite file or a PostgreSQL connection string\n"
         "                  (postgresql://user@host/db or \"host=… dbname=…\"; the\n"
         "                  password from PGPASSWORD or ~/.pgpass); default: the\n"
         "                  station's records.sqlite in the user's data folder\n"
         "  --since TIME    boards started at or after TIME, UTC: 2026-12-09,\n"
         "                  2026-12-09T14:30 or 2026-12-09T14:30:00.000Z\n"
         "  --until TIME    boards started before TIME\n"
         "  --serial N      the board that holds serial number N\n"
         "  --slot SLOT     the boards of one slot\n"
         "  --result RESULT the boards that ended so (ok, device-failed, …)\n";
}

}  // namespace mx::flash
