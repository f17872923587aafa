#pragma once

// mx7410-flash records: the recorded boards, found by time, number, slot or
// result, as a table, JSON Lines or CSV, or summed up per station and slot.
// Parsing and printing touch no database; RunRecords opens it.

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "records/RecordStore.h"

namespace mx::flash {

enum class RecordsFormat { Table, Json, Csv };

struct RecordsOptions {
  std::string database;  // --db: a file or a connection string; empty: the default file
  records::RecordQuery query;
  RecordsFormat format = RecordsFormat::Table;
  bool summary = false;
};

// Whether the command line's first word, past records' own options, is "records".
bool IsRecordsCommand(const std::vector<std::string>& arguments);

struct ParsedRecords {
  std::optional<RecordsOptions> options;
  bool helpAsked = false;
  std::string error;  // when neither: what is wrong, one line
};
ParsedRecords ParseRecordsArguments(const std::vector<std::string>& arguments);
std::string RecordsHelpText();

// "2026-12-09", "2026-12-09T10:00", "…T10:00:07", "…T10:00:07.5" with an
// optional Z, all UTC, in the stored form 2026-12-09T10:00:07.500Z.
std::optional<std::string> StoredTime(const std::string& text);

void PrintBoardTable(const std::vector<records::BoardRecord>& boards, std::ostream& out);
void PrintBoardJson(const std::vector<records::BoardRecord>& boards, std::ostream& out);
void PrintBoardCsv(const std::vector<records::BoardRecord>& boards, std::ostream& out);
// Per station and slot: passed, failed, yield, boards per hour, first and last number.
void PrintBoardSummary(const std::vector<records::BoardRecord>& boards, std::ostream& out);

// Opens the store, finds and prints; returns the exit status.
int RunRecords(const RecordsOptions& options, std::ostream& out, std::ostream& err);

}  // namespace mx::flash
