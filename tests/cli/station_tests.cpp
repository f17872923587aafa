// mx7410-flash station: boards that come on new ports and on a fixed port,
// flashed at once, retried after a time-out, each recorded on disk.

#include <signal.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

#include "Sha256.h"
#include "cli/CliFixture.h"
#include "update/FileAccess.h"

namespace mx::test {
namespace {

using Json = nlohmann::json;

std::vector<Json> LogRecords(const fs::path& log) {
  std::vector<Json> records;
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);) records.push_back(Json::parse(line));  // throws on a torn line
  return records;
}

// A simulator published in the station's port folder once the station watches.
std::unique_ptr<Device> Plug(const fs::path& directory, const std::string& name, sim::SimOptions options = {}) {
  auto device = std::make_unique<Device>(std::move(options));
  device->sim.Publish(directory.string(), name);
  return device;
}

TEST_F(Cli, StationFlashesEveryBoardThatComesAndRecordsEachOnDisk) {
  const std::string file = WriteImage(SampleImage(1024, 0));
  const fs::path log = files.Path() / "boards.jsonl";
  sim::SimOptions powersOn;
  powersOn.powerOnAfter = 100ms;
  Device fixed(powersOn);  // on a fixed port: caught as it powers on

  fs::create_directories(portDirectory());
  ChildProcess station(Launch({"station", file, "-p", fixed.Port(), "--wait", "1", "--log", log.string()}));
  ASSERT_TRUE(station.WaitForOutput("watching for boards", 10s)) << station.OutputSoFar();
  sim::SimOptions dropsAReply;
  dropsAReply.dropReplyToBlock = 2;  // times out once: written again from the erase
  const auto plain = Plug(portDirectory(), "boardA");
  const auto flaky = Plug(portDirectory(), "boardB", dropsAReply);
  ASSERT_TRUE(station.WaitForOutput("#3 ", 60s)) << station.OutputSoFar();
  ::kill(station.Pid(), SIGINT);  // the fixed port is waiting for its next board now
  const ChildResult run = station.Finish(10s);
  EXPECT_EQ(run.exitStatus, 130) << run.out << run.err;
  EXPECT_TRUE(Contains(run.err, "3 boards, 3 passed, 0 failed")) << run.err;

  std::string why;
  for (const Device* device : {&fixed, plain.get(), flaky.get()})
    EXPECT_TRUE(device->sim.MatchesHexFile(file, &why)) << why;
  const std::vector<Json> records = LogRecords(log);
  ASSERT_EQ(records.size(), 3u);
  std::set<long> numbers;
  for (const Json& record : records) {
    numbers.insert(record.at("board").get<long>());
    EXPECT_EQ(record.at("event"), "board");
    EXPECT_EQ(record.at("result"), "ok") << record;
    EXPECT_EQ(record.at("file_sha256"), flash::Sha256Hex(ReadRegularFile(file, 1 << 20).bytes));
    const bool retried = record.at("port").get<std::string>().ends_with("boardB");
    EXPECT_EQ(record.at("attempts"), retried ? 2 : 1) << record;
  }
  EXPECT_EQ(numbers, (std::set<long>{1, 2, 3}));
}

// The record of a finished board is in the log before its line is printed,
// so a station killed outright right after it still has it whole.
TEST_F(Cli, StationKilledOutrightKeepsTheRecordOfEveryFinishedBoard) {
  const std::string file = WriteImage(SampleImage(256, 0));
  const fs::path log = files.Path() / "boards.jsonl";
  fs::create_directories(portDirectory());
  ChildProcess station(Launch({"station", file, "--json", "--log", log.string()}));
  ASSERT_TRUE(station.WaitForOutput("\"watching\"", 10s)) << station.OutputSoFar();
  const auto board = Plug(portDirectory(), "boardA");
  ASSERT_TRUE(station.WaitForOutput("\"board\":1", 30s)) << station.OutputSoFar();
  ::kill(station.Pid(), SIGKILL);
  station.Finish(10s);
  const std::vector<Json> records = LogRecords(log);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].at("result"), "ok");
  EXPECT_EQ(records[0].at("time").get<std::string>().size(), 24u);
}

TEST_F(Cli, StationRefusesABadFileOrLogAtOnce) {
  const std::string bad = files.Write("bad.hex", ":10000000000102030405060708090A0B0C0D0E0F00\r\n").string();
  const ChildResult refused = Flash({"station", bad});
  EXPECT_EQ(refused.exitStatus, 3);
  EXPECT_TRUE(Contains(refused.err, "File import failure : Incompleted file.")) << refused.err;

  const std::string good = WriteImage(SampleImage(64, 0));
  const ChildResult noLog = Flash({"station", good, "--log", (files.Path() / "missing" / "log").string()});
  EXPECT_EQ(noLog.exitStatus, 2);
  EXPECT_TRUE(Contains(noLog.err, "cannot open")) << noLog.err;
}

}  // namespace
}  // namespace mx::test
