// mx7410-flash records: its command line, its four kinds of output, and the
// program itself on a record file filled through the store.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "ChildProcess.h"
#include "CommandLine.h"
#include "Records.h"
#include "records/RecordStore.h"
#include "support/TempDir.h"
#include "support/TestBoard.h"

namespace mx::flash {
namespace {

using records::BoardRecord;

// A board of station line-a, from `started` to `ended`.
BoardRecord Board(const std::string& slot, const std::string& started, const std::string& ended,
                  const std::string& result, std::optional<std::uint64_t> serial) {
  BoardRecord board = test::TestBoard(slot, started, result);
  board.station = "line-a";
  board.ended = ended;
  board.serial = serial;
  return board;
}

TEST(RecordsCommandLineTest, TakesItsOwnOptionsAnywhere) {
  const ParsedCommandLine parsed =
      ParseCommandLine({"--db", "line.sqlite", "records", "--serial=42", "--slot", "s1", "--since", "2026-12-09",
                        "--until", "2026-12-09T14:30:07.5Z", "--result", "ok", "--csv"});
  ASSERT_EQ(parsed.action, ParsedCommandLine::Action::Run) << parsed.error;
  const RecordsOptions& records = parsed.options.records;
  EXPECT_EQ(parsed.options.command, Command::Records);
  EXPECT_EQ(records.database, "line.sqlite");
  EXPECT_EQ(records.query.serial, 42u);
  EXPECT_EQ(records.query.slot, "s1");
  EXPECT_EQ(records.query.since, "2026-12-09T00:00:00.000Z");
  EXPECT_EQ(records.query.until, "2026-12-09T14:30:07.500Z");
  EXPECT_EQ(records.query.result, "ok");
  EXPECT_EQ(records.format, RecordsFormat::Csv);
  EXPECT_EQ(ParseCommandLine({"records", "--help"}).action, ParsedCommandLine::Action::ShowRecordsHelp);
}

TEST(RecordsCommandLineTest, RefusesWhatItCannotUse) {
  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {"records", "--serial", "-1"},
           {"records", "--serial", "12a"},
           {"records", "--since", "2026-02-30"},
           {"records", "--since", "2026-12-09T10:00+01:00"},
           {"records", "--until", "09.12.2026"},
           {"records", "--json", "--csv"},
           {"records", "--summary", "--json"},
           {"records", "--slot"},
           {"records", "--slot="},
           {"records", "--port", "sim0"},
           {"records", "extra"},
       }) {
    const ParsedCommandLine parsed = ParseCommandLine(arguments);
    EXPECT_EQ(parsed.action, ParsedCommandLine::Action::UsageError) << arguments.back();
    EXPECT_FALSE(parsed.error.empty());
  }
}

TEST(RecordsOutputTest, JsonHasEveryFieldWithNullsAndNumbers) {
  BoardRecord board = Board("s1", "2026-12-09T10:00:00.000Z", "2026-12-09T10:00:09.000Z", "ok", 7);
  board.data = "0A0B";
  board.packageId = "pkg-7";
  board.keyId = "E0A1B2C3D4F56789";
  board.trustedComment = "timestamp:1765400000";
  std::ostringstream out;
  PrintBoardJson({board, Board("s2", "2026-12-09T10:01:00.000Z", "2026-12-09T10:01:05.000Z", "device-failed", {})},
                 out);
  std::istringstream lines(out.str());
  std::string line;
  std::getline(lines, line);
  const auto passed = nlohmann::json::parse(line);
  EXPECT_EQ(passed.size(), 19u);
  EXPECT_EQ(passed["serial"], 7);
  EXPECT_EQ(passed["data"], "0A0B");
  EXPECT_EQ(passed["attempts"], 1);
  EXPECT_EQ(passed["interrupted"], false);
  EXPECT_EQ(passed["file_sha256"], "ab12");
  EXPECT_EQ(std::tie(passed["package_id"], passed["key_id"], passed["trusted_comment"]),
            std::make_tuple("pkg-7", "E0A1B2C3D4F56789", "timestamp:1765400000"));
  std::getline(lines, line);
  const auto failed = nlohmann::json::parse(line);
  EXPECT_TRUE(failed["serial"].is_null());
  EXPECT_TRUE(failed["data"].is_null());
  EXPECT_EQ(failed["reason"], "no answer");
  EXPECT_EQ(failed["key_id"], "");
}

TEST(RecordsOutputTest, CsvQuotesWhatNeedsIt) {
  BoardRecord board = Board("s1", "2026-12-09T10:00:00.000Z", "2026-12-09T10:00:09.000Z", "device-failed", {});
  board.reason = "said \"no\", twice";
  board.file = "C:\\fw\nnew.hex";
  std::ostringstream out;
  PrintBoardCsv({board}, out);
  const std::string text = out.str();
  EXPECT_TRUE(
      text.starts_with("station,slot,port,started,ended,file,file_sha256,serial,data,old_version,"
                       "restore_point,bootloader_version,result,reason,attempts,interrupted,package_id,key_id,"
                       "trusted_comment\r\n"));
  EXPECT_NE(text.find(",\"said \"\"no\"\", twice\",1,false,,,\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find(",\"C:\\fw\nnew.hex\","), std::string::npos) << text;
}

TEST(RecordsOutputTest, SummaryCountsPerStationAndSlot) {
  std::ostringstream out;
  PrintBoardSummary({Board("s1", "2026-12-09T10:00:00.000Z", "2026-12-09T10:10:00.000Z", "ok", 5),
                     Board("s1", "2026-12-09T10:10:00.000Z", "2026-12-09T10:20:00.000Z", "device-failed", {}),
                     Board("s1", "2026-12-09T10:20:00.000Z", "2026-12-09T10:30:00.000Z", "ok", 6),
                     Board("s2", "2026-12-09T10:00:00.000Z", "2026-12-09T10:00:00.000Z", "ok", 9)},
                    out);
  EXPECT_EQ(out.str(),
            "STATION  SLOT  PASSED  FAILED  YIELD   BOARDS/H  FIRST  LAST\n"
            "line-a   s1    2       1       66.7%   6.0       5      6\n"
            "line-a   s2    1       0       100.0%  -         9      9\n");
}

// The program on a file the store filled.
class RecordsProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    records::OpenedStore opened = records::OpenRecordStore(file_, {"line-a", "instance-1"});
    ASSERT_NE(opened.store, nullptr) << opened.error;
    BoardRecord signedBoard = Board("s1", "2026-12-09T10:00:00.000Z", "2026-12-09T10:00:09.000Z", "ok", 5);
    signedBoard.keyId = "E0A1B2C3D4F56789";
    opened.store->Finish(signedBoard, {});
    opened.store->Finish(Board("s2", "2026-12-09T11:00:00.000Z", "2026-12-09T11:00:09.000Z", "device-failed", {}), {});
  }
  test::ChildResult Records(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {MX7410_FLASH_PATH, "records", "--db", file_});
    return test::RunChild({arguments, {}});
  }

  test::TempDir dir_;
  std::string file_ = (dir_.Path() / "records.sqlite").string();
};

TEST_F(RecordsProgramTest, FindsAndPrintsTheBoards) {
  const auto table = Records({});
  EXPECT_EQ(table.exitStatus, kExitSuccess) << table.err;
  EXPECT_NE(table.out.find("STARTED"), std::string::npos);
  EXPECT_NE(table.out.find("2026-12-09T11:00:00.000Z  line-a   s2    -       device-failed  1         no answer"),
            std::string::npos)
      << table.out;

  const auto bySerial = Records({"--serial", "5", "--json"});
  EXPECT_EQ(bySerial.exitStatus, kExitSuccess) << bySerial.err;
  EXPECT_EQ(nlohmann::json::parse(bySerial.out)["slot"], "s1");
  EXPECT_EQ(nlohmann::json::parse(bySerial.out)["key_id"], "E0A1B2C3D4F56789");
  const auto later = Records({"--since", "2026-12-09T10:30", "--csv"});
  EXPECT_EQ(std::count(later.out.begin(), later.out.end(), '\n'), 2) << later.out;
  EXPECT_NE(Records({"--summary"}).out.find("line-a   s2    0       1       0.0%"), std::string::npos);
}

TEST_F(RecordsProgramTest, SaysWhenThereIsNoDatabase) {
  const auto missing = test::RunChild({{MX7410_FLASH_PATH, "records", "--db", file_ + ".gone"}, {}});
  EXPECT_EQ(missing.exitStatus, kExitRecordsFailed);
  EXPECT_NE(missing.err.find("no record database at"), std::string::npos) << missing.err;
  EXPECT_FALSE(std::filesystem::exists(file_ + ".gone"));
  const auto server =
      test::RunChild({{MX7410_FLASH_PATH, "records", "--db", "postgresql://mx:Secr3t@/x?host=/nonexistent"}, {}});
  EXPECT_EQ(server.exitStatus, kExitRecordsFailed);
  EXPECT_EQ(server.err.find("Secr3t"), std::string::npos) << server.err;
}

}  // namespace
}  // namespace mx::flash
