// Runs that the process leaves behind when it ends at once (a second Ctrl-C,
// or a run stuck past its grace) still get their records.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "ConsoleReport.h"
#include "JsonReport.h"

namespace mx::flash {
namespace {

ProgressSample HalfWritten() {
  ProgressSample sample;
  sample.records = 8;
  sample.maxRecords = 16;
  sample.bytesDone = 128;
  sample.bytesTotal = 256;
  return sample;
}

TEST(AbandonedRuns, JsonGivesEveryRunningPortItsEndThenTheSummary) {
  std::ostringstream out, err;
  Options options;
  options.command = Command::Update;
  options.file = "fw.hex";
  JsonReport report(out, err, {"sim0", "sim1"}, options);
  auto first = report.OutputFor(0);
  auto second = report.OutputFor(1);
  first->Line("Bootloader Version:1.1");
  first->Progress(HalfWritten());
  PortResult ended;
  ended.port = "sim1";
  ended.exitStatus = kExitSuccess;
  report.Ended(1, ended);
  report.Abandoned(kExitInterrupted);
  report.Finished({}, kExitSuccess);  // too late: nothing more is written

  std::vector<nlohmann::json> objects;
  std::istringstream lines(out.str());
  for (std::string line; std::getline(lines, line);) objects.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(objects.size(), 6u) << out.str();  // 2 starts, a progress, 2 ends, the summary
  const nlohmann::json& abandoned = objects[4];
  EXPECT_EQ(abandoned.at("port"), "sim0");
  EXPECT_EQ(abandoned.at("interrupted"), true);
  EXPECT_EQ(abandoned.at("percent"), 50);
  EXPECT_EQ(abandoned.at("messages"), nlohmann::json::array({"Bootloader Version:1.1"}));
  EXPECT_EQ(objects[5].at("event"), "summary");
  EXPECT_EQ(objects[5].at("exit"), kExitInterrupted);
  EXPECT_EQ(objects[5].at("succeeded"), 1);
}

TEST(AbandonedRuns, ConsoleGivesEveryPortItsSummaryLine) {
  std::ostringstream out, err;
  ConsoleReport report(out, err, {"sim0", "sim1"}, StreamSettings{});
  auto first = report.OutputFor(0);
  auto second = report.OutputFor(1);
  first->Progress(HalfWritten());
  PortResult ended;
  ended.port = "sim1";
  ended.exitStatus = kExitSuccess;
  report.Ended(1, ended);
  report.Abandoned(kExitInterrupted);
  EXPECT_EQ(out.str(), "sim0: device-failed, interrupted while writing (50 %)\nsim1: ok, 0.00 s\n");
}

TEST(AbandonedRuns, ASingleRunSaysHowFarItGot) {
  std::ostringstream out, err;
  SingleRunReport report(out, err, "sim0", StreamSettings{});
  auto output = report.OutputFor(0);
  output->Progress(HalfWritten());
  report.Abandoned(kExitTerminated);
  EXPECT_EQ(out.str(), "\nsim0: device-failed, interrupted at 50 %\n");
}

// A console that cannot move its cursor (an old Windows console) gets no
// table, which would pile up copy after copy, only the closing lines.
TEST(PortTableOnConsoles, NoTableWithoutCursorMovement) {
  for (const bool controlSequences : {true, false}) {
    std::ostringstream out, err;
    StreamSettings settings;
    settings.errorIsTerminal = true;
    settings.controlSequences = controlSequences;
    ConsoleReport report(out, err, {"sim0", "sim1"}, settings);
    report.OutputFor(0)->Progress(HalfWritten());
    report.Refresh();
    report.Abandoned(kExitInterrupted);
    EXPECT_EQ(err.str().find('\x1b') != std::string::npos, controlSequences) << err.str();
    EXPECT_NE(out.str().find("sim0: device-failed"), std::string::npos);
  }
}

}  // namespace
}  // namespace mx::flash
