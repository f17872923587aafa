#include <filesystem>
#include <ostream>
#include <random>

#include "CommandLine.h"
#include "Records.h"

namespace mx::flash {

namespace {

// A reader's own instance: it reserves nothing, yet every store wants one.
std::string ReaderInstance() {
  std::random_device random;
  return "records-" + std::to_string(random()) + std::to_string(random());
}

bool FileExists(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(std::filesystem::path(std::u8string(path.begin(), path.end())), error);
}

}  // namespace

int RunRecords(const RecordsOptions& options, std::ostream& out, std::ostream& err) {
  const std::string location = options.database.empty() ? records::DefaultDatabasePath() : options.database;
  // Reading creates nothing: a file that is not there holds no records.
  if (!records::IsConnectionString(location) && !FileExists(location)) {
    err << "mx7410-flash: no record database at " << location << '\n';
    return kExitRecordsFailed;
  }
  records::OpenedStore opened = records::OpenRecordStore(location, {"records", ReaderInstance()});
  if (!opened.store) {
    err << "mx7410-flash: " << opened.error << '\n';
    return kExitRecordsFailed;
  }
  std::vector<records::BoardRecord> boards;
  try {
    boards = opened.store->Find(options.query);
  } catch (const records::RecordStoreError& error) {
    err << "mx7410-flash: " << error.what() << '\n';
    return kExitRecordsFailed;
  }
  if (options.summary) {
    PrintBoardSummary(boards, out);
  } else if (options.format == RecordsFormat::Json) {
    PrintBoardJson(boards, out);
  } else if (options.format == RecordsFormat::Csv) {
    PrintBoardCsv(boards, out);
  } else {
    PrintBoardTable(boards, out);
  }
  return kExitSuccess;
}

}  // namespace mx::flash
