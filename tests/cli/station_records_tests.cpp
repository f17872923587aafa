// Every board a station meets is in the record store, in the default record
// file when no --db names one; update and wizard record theirs with --db.

#include <signal.h>

#include <nlohmann/json.hpp>

#include "cli/CliFixture.h"

namespace mx::test {
namespace {

using Json = nlohmann::json;

class StationRecords : public Cli {
 protected:
  // The boards recorded at `location`, oldest first, as `records --json` prints them.
  std::vector<Json> Recorded(const std::string& location) const {
    const ChildResult listed = Flash({"records", "--db", location, "--json"});
    EXPECT_EQ(listed.exitStatus, 0) << listed.err;
    std::vector<Json> boards;
    for (const std::string& line : Lines(listed.out)) boards.push_back(Json::parse(line));
    return boards;
  }

  const std::string file_ = WriteImage(SampleImage(512, 0));
};

TEST_F(StationRecords, AStationRecordsEveryBoardInTheDefaultFile) {
  fs::create_directories(portDirectory());
  ChildProcess station(Launch({"station", file_, "--json", "--wait", "1", "--retries", "1", "--station", "bench"}));
  ASSERT_TRUE(station.WaitForOutput("\"watching\"", 10s)) << station.OutputSoFar();
  sim::SimOptions dropsAReply;
  dropsAReply.dropReplyToBlock = 2;  // times out once: written again from the erase
  Device plain, flaky(dropsAReply);
  plain.sim.Publish(portDirectory().string(), "boardA");
  ASSERT_TRUE(station.WaitForOutput("\"board\":1", 60s)) << station.OutputSoFar();
  flaky.sim.Publish(portDirectory().string(), "boardB");
  ASSERT_TRUE(station.WaitForOutput("\"board\":2", 60s)) << station.OutputSoFar();
  ::kill(station.Pid(), SIGINT);
  const ChildResult run = station.Finish(10s);
  EXPECT_EQ(run.exitStatus, 130) << run.err;

  const std::vector<Json> boards = Recorded(DefaultRecords().string());
  ASSERT_EQ(boards.size(), 2u);
  for (const Json& board : boards) {
    const std::string port = board.at("port");
    EXPECT_EQ(board.at("result"), "ok") << board;
    EXPECT_EQ(board.at("station"), "bench");
    EXPECT_EQ(board.at("slot"), port);  // a simulator has no connector of its own
    EXPECT_EQ(board.at("attempts"), port.ends_with("boardB") ? 2 : 1) << board;
    EXPECT_TRUE(board.at("serial").is_null());
  }
}

TEST_F(StationRecords, UpdateAndWizardRecordTheirBoardWithDb) {
  const std::string db = (files.Path() / "boards.sqlite").string();
  Device first;
  const ChildResult update = Flash({"update", file_, "-p", first.Port(), "--db", db});
  ASSERT_EQ(update.exitStatus, 0) << update.err;
  sim::SimOptions powersOn;
  powersOn.powerOnAfter = 100ms;
  Device second(powersOn);
  const ChildResult wizard = Flash({"wizard", file_, "-p", second.Port(), "--db", db, "--max-wait", "20"});
  ASSERT_EQ(wizard.exitStatus, 0) << wizard.err;
  const std::vector<Json> boards = Recorded(db);
  ASSERT_EQ(boards.size(), 2u);
  EXPECT_EQ(boards[0].at("port"), first.Port());
  EXPECT_EQ(boards[1].at("port"), second.Port());
  EXPECT_EQ(boards[1].at("result"), "ok");
  // Without --db they keep nothing: the default file is a station's.
  Device third;
  ASSERT_EQ(Flash({"update", file_, "-p", third.Port()}).exitStatus, 0);
  EXPECT_FALSE(fs::exists(DefaultRecords()));
}

TEST_F(StationRecords, ADefaultFileThatCannotBeOpenedStopsTheStationBeforeAnyPort) {
  fs::create_directories(data.Path() / "mx7410" / "records.sqlite");  // a folder where the file would be
  Device board;
  const ChildResult run = Flash({"station", file_, "-p", board.Port()});
  EXPECT_EQ(run.exitStatus, 2) << run.err;
  EXPECT_TRUE(Contains(run.err, "the default record file; --db names another")) << run.err;
  EXPECT_TRUE(board.sim.ReceivedBytes().empty());
}

}  // namespace
}  // namespace mx::test
