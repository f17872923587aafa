// Ctrl-C and SIGTERM at every stage of a run: each run ends with its record,
// in text, in JSON and in the station's log, saying it was interrupted.

#include <signal.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "cli/CliFixture.h"

namespace mx::test {
namespace {

using Json = nlohmann::json;

struct StageCase {
  const char* name;
  sim::SimOptions device;
  std::size_t framesBeforeSignal;  // the device has received these: the run is at the stage
  int blocks;                      // of 256 bytes in the image
};

StageCase ConnectWait() {
  sim::SimOptions silent;
  silent.silent = true;
  return {"ConnectWait", silent, 2, 1};
}
StageCase EraseWait() {
  sim::SimOptions refuses;
  refuses.refuseErase = 1000000;  // the erase goes out again and again
  return {"EraseWait", refuses, 4, 1};
}
StageCase MidTransfer() {
  sim::SimOptions drops;
  drops.dropReplyToBlock = 2;
  return {"MidTransfer", drops, 5, 4};
}
StageCase LastFramesHeld() {
  sim::SimOptions holds;
  holds.xoffAfterBlock = 1;  // the end frame and version request wait behind XOFF
  holds.xoffHold = std::chrono::seconds(60);
  return {"LastFramesHeld", holds, 4, 1};
}

void PrintTo(const StageCase& c, std::ostream* os) { *os << c.name; }

class CliInterrupt : public Cli, public ::testing::WithParamInterface<StageCase> {
 protected:
  // Starts `args` against a device of the case, signals it at the stage and
  // returns how it ended.
  ChildResult InterruptAtStage(Device& device, std::vector<std::string> args, int signal) {
    ChildProcess child(Launch(std::move(args)));
    if (!device.sim.WaitForFrames(GetParam().framesBeforeSignal, 30s)) ADD_FAILURE() << child.OutputSoFar();
    ::kill(child.Pid(), signal);
    return child.Finish(20s);
  }

  std::string Image() { return WriteImage(SampleImage(256 * GetParam().blocks, 0)); }
};

TEST_P(CliInterrupt, TextRunSaysItWasInterrupted) {
  Device device(GetParam().device);
  const ChildResult run =
      InterruptAtStage(device, {"--port", device.Port(), "--wait", "30", "update", Image()}, SIGTERM);
  EXPECT_FALSE(run.killed);
  EXPECT_EQ(run.exitStatus, 143) << run.out << run.err;
  EXPECT_TRUE(Contains(run.err, "interrupted, closing the port")) << run.err;
  EXPECT_FALSE(Contains(run.err, "stopped")) << "ended within its grace: " << run.err;
}

TEST_P(CliInterrupt, JsonRunEndsWithItsEndAndSummary) {
  Device device(GetParam().device);
  const ChildResult run =
      InterruptAtStage(device, {"--json", "--port", device.Port(), "--wait", "30", "update", Image()}, SIGINT);
  EXPECT_EQ(run.exitStatus, 130) << run.out << run.err;
  const std::vector<std::string> lines = Lines(run.out);
  ASSERT_GE(lines.size(), 3u) << run.out;
  const Json end = Json::parse(lines[lines.size() - 2]);
  EXPECT_EQ(end.at("event"), "end") << end;
  EXPECT_EQ(end.at("interrupted"), true) << end;
  EXPECT_EQ(end.at("result"), "device-failed") << end;
  EXPECT_EQ(Json::parse(lines.back()).at("event"), "summary");
}

TEST_P(CliInterrupt, StationKeepsTheBoardsRecordAndItsTally) {
  const std::string file = Image();
  const fs::path log = files.Path() / "boards.jsonl";
  fs::create_directories(portDirectory());
  Device device(GetParam().device);
  ChildProcess station(Launch({"station", file, "--wait", "30", "--log", log.string()}));
  ASSERT_TRUE(station.WaitForOutput("watching for boards", 10s)) << station.OutputSoFar();
  device.sim.Publish(portDirectory().string(), "board");
  ASSERT_TRUE(device.sim.WaitForFrames(GetParam().framesBeforeSignal, 30s)) << station.OutputSoFar();
  ::kill(station.Pid(), SIGINT);
  const ChildResult run = station.Finish(20s);
  EXPECT_EQ(run.exitStatus, 130) << run.out << run.err;
  EXPECT_TRUE(Contains(run.err, "1 boards, 0 passed, 1 failed")) << run.err;
  std::ifstream in(log);
  std::string line;
  ASSERT_TRUE(std::getline(in, line)) << "no record of the board";
  const Json record = Json::parse(line);
  EXPECT_EQ(record.at("interrupted"), true) << record;
  EXPECT_EQ(record.at("result"), "device-failed") << record;
}

INSTANTIATE_TEST_SUITE_P(Stages, CliInterrupt,
                         ::testing::Values(ConnectWait(), EraseWait(), MidTransfer(), LastFramesHeld()),
                         [](const ::testing::TestParamInfo<StageCase>& info) { return info.param.name; });

}  // namespace
}  // namespace mx::test

namespace mx::test {
namespace {

// A vanished device is told apart from a time-out, with its kind, in text
// and in JSON.
TEST_F(Cli, LostPortSaysTheDeviceIsGone) {
  sim::SimOptions options;
  options.hangUpAfterBlock = 1;
  Device device(options);
  const ChildResult run =
      Flash({"--json", "--port", device.Port(), "--wait", "30", "update", WriteImage(SampleImage(1024, 0))});
  EXPECT_EQ(run.exitStatus, 1) << run.out << run.err;
  EXPECT_TRUE(Contains(run.err, "device-gone")) << run.err;
  const std::vector<std::string> lines = Lines(run.out);
  ASSERT_GE(lines.size(), 2u) << run.out;
  EXPECT_EQ(nlohmann::json::parse(lines[lines.size() - 2]).at("reason"), "device-gone") << run.out;
}

}  // namespace
}  // namespace mx::test
