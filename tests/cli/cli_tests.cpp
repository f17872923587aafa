// mx7410-flash end to end: the built program runs as a child process against
// simulated bootloaders on real pseudo-terminals in this process.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "cli/CliFixture.h"

namespace mx::test {
namespace {

// ---- Usage ---------------------------------------------------------------------

struct UsageCase {
  std::vector<std::string> args;
  std::string complaint;
};
void PrintTo(const UsageCase& c, std::ostream* os) { *os << (c.args.empty() ? "no-arguments" : Joined(c.args)); }

class CliUsage : public Cli, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(CliUsage, ExitsWithStatus2AndTheSynopsis) {
  const ChildResult run = Flash(GetParam().args);
  EXPECT_EQ(run.exitStatus, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(Contains(run.err, GetParam().complaint)) << run.err;
  EXPECT_TRUE(Contains(run.err, "usage: mx7410-flash")) << run.err;
}

INSTANTIATE_TEST_SUITE_P(Errors, CliUsage,
                         ::testing::Values(UsageCase{{}, "no command given"},
                                           UsageCase{{"flash"}, "unknown command \"flash\""},
                                           UsageCase{{"update"}, "update wants a firmware FILE"},
                                           UsageCase{{"wizard"}, "wizard wants a firmware FILE"},
                                           UsageCase{{"connect", "extra"}, "unexpected argument \"extra\""},
                                           UsageCase{{"--lang", "FR", "connect"}, "--lang wants ENG or CH"},
                                           UsageCase{{"--wait", "0", "connect"}, "--wait wants a whole number"},
                                           UsageCase{{"--wait", "2.5", "connect"}, "--wait wants a whole number"},
                                           UsageCase{{"--read-gap=-1", "connect"}, "--read-gap wants a whole number"},
                                           UsageCase{{"--speed", "9600", "connect"}, "unknown option --speed"},
                                           UsageCase{{"connect", "--port"}, "--port wants a value"},
                                           UsageCase{{"--long", "connect"}, "--long goes with ports"}));

TEST_F(Cli, HelpDocumentsTheCommandsAndExitStatuses) {
  const ChildResult run = Flash({"--help"});
  EXPECT_EQ(run.exitStatus, 0);
  for (const char* part : {"ports", "connect", "update FILE", "restore FILE", "erase", "wizard FILE", "--max-wait",
                           "--read-gap", "Exit status", "check FILE", "--all-ports", "--json"}) {
    EXPECT_TRUE(Contains(run.out, part)) << part;
  }
}

TEST_F(Cli, VersionPrintsTheProjectVersion) {
  const ChildResult run = Flash({"--version"});
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out, std::string("mx7410-flash ") + MX_PROJECT_VERSION + "\n");
}

// ---- ports and connect -------------------------------------------------------

TEST_F(Cli, PortsListsAPublishedSimulatorLast) {
  Device device;
  device.sim.Publish(portDirectory().string(), "mx7410-a");
  const ChildResult run = Flash({"ports"});
  EXPECT_EQ(run.exitStatus, 0);
  const auto lines = Lines(run.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), (portDirectory() / "mx7410-a").string());
}

struct ConnectCase {
  std::vector<std::string> options;
  std::vector<std::string> lines;
};
void PrintTo(const ConnectCase& c, std::ostream* os) { *os << (c.options.empty() ? "default" : Joined(c.options)); }

class CliConnect : public Cli, public ::testing::WithParamInterface<ConnectCase> {};

TEST_P(CliConnect, PrintsTheVersionAndDisconnects) {
  Device device;
  std::vector<std::string> args = GetParam().options;
  args.insert(args.end(), {"--port", device.Port(), "connect"});
  const ChildResult run = Flash(args);
  EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
  EXPECT_EQ(Lines(run.out), GetParam().lines);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(device.ReceivedAfter(2), kWakeAndVersion);
}

INSTANTIATE_TEST_SUITE_P(
    Languages, CliConnect,
    ::testing::Values(ConnectCase{{},
                                  {"Command Received:85,85,1,0,1,1,1,2,3,1,2,0,244,4,", "Command checksum checked.",
                                   "Bootloader Version:1.1", "OldVersion:010203", "RestorePoint:010200"}},
                      ConnectCase{{"--quiet"}, {"Bootloader Version:1.1", "OldVersion:010203", "RestorePoint:010200"}},
                      ConnectCase{{"--lang", "ch"},
                                  {"指令就緒 :85,85,1,0,1,1,1,2,3,1,2,0,244,4,", "指令檢查就緒", "Bootloader 版本:1.1",
                                   "目前版本:010203", "還原點:010200"}}));

// ---- Update and restore ----------------------------------------------------------

TEST_F(Cli, UpdateSendsExactlyTheFramesOfTheFile) {
  Device device;
  device.sim.Publish(portDirectory().string(), "mx7410-a");  // taken by the automatic choice
  const SampleImage image(320, 0x0001);                      // one full block and one of 64 bytes
  const std::string file = WriteImage(image);

  const ChildResult run = Flash({"update", file});
  ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
  const auto lines = Lines(run.out);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "Finish Update");
  EXPECT_TRUE(std::regex_match(lines.back(), std::regex(R"(Finish Update! [0-9.]+Sec\.)"))) << lines.back();
  EXPECT_EQ(run.err, "");  // not a terminal: no progress bar

  const auto expected = Concat({kWakeAndVersion, UpdateStream(image)});
  const auto received = device.ReceivedAfter(7);
  EXPECT_EQ(received.size(), expected.size());
  for (std::size_t i = 0; i < std::min(received.size(), expected.size()); ++i) {
    if (received[i] != expected[i]) {
      ADD_FAILURE() << "first difference at byte " << i;
      break;
    }
  }
  std::string why;
  EXPECT_TRUE(device.sim.MatchesHexFile(file, &why)) << why;
}

TEST_F(Cli, RestoreSendsTheRestoreFrameBeforeTheTransfer) {
  Device device;
  const SampleImage image(48, 0);
  const std::string file = WriteImage(image);
  const ChildResult run = Flash({"--port", device.Port(), "restore", file});
  ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
  EXPECT_EQ(device.ReceivedAfter(7), Concat({kWakeAndVersion, kRestore, UpdateStream(image)}));
}

TEST_F(Cli, ProgressBarIsDrawnOnlyOnATerminal) {
  Device device;
  const std::string file = WriteImage(SampleImage(320, 0));
  ChildLaunch launch = Launch({"--port", device.Port(), "update", file});
  launch.stderrIsTerminal = true;
  const ChildResult run = RunChild(launch);
  ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
  EXPECT_TRUE(Contains(run.err, "100%")) << run.err;
  EXPECT_TRUE(Contains(run.err, "320 B / 320 B")) << run.err;
  EXPECT_FALSE(Contains(run.out, "%"));
  EXPECT_FALSE(Contains(run.out, "\x1b"));
}

// ---- Erase -------------------------------------------------------------------------

struct EraseCase {
  int refusals;
  int exitStatus;
  std::string message;
};
void PrintTo(const EraseCase& c, std::ostream* os) { *os << c.message; }

class CliErase : public Cli, public ::testing::WithParamInterface<EraseCase> {};

TEST_P(CliErase, ReportsTheDevicesAnswer) {
  sim::SimOptions options;
  options.refuseErase = GetParam().refusals;
  Device device(options);
  const ChildResult run = Flash({"--port", device.Port(), "--quiet", "erase"});
  EXPECT_EQ(run.exitStatus, GetParam().exitStatus) << run.out << run.err;
  EXPECT_EQ(Lines(run.out), std::vector<std::string>{GetParam().message});
  EXPECT_EQ(device.ReceivedAfter(3), Concat({kWakeAndVersion, kErase}));
}

INSTANTIATE_TEST_SUITE_P(Answers, CliErase,
                         ::testing::Values(EraseCase{0, 0, "Erase successful!(EraseOK)"},
                                           EraseCase{1, 1, "Erase fail!(NO)"}));

// ---- Failures ----------------------------------------------------------------------

struct RefusedFileCase {
  std::string content;  // nothing: the file does not exist
  std::string message;
  std::string path;  // instead of a file with the content: "fifo" for a named pipe, or a path
};
void PrintTo(const RefusedFileCase& c, std::ostream* os) { *os << c.message; }

class CliRefusedFile : public Cli, public ::testing::WithParamInterface<RefusedFileCase> {};

TEST_P(CliRefusedFile, Exits3AndTouchesNoDevice) {
  Device device;
  fs::path file = files.Path() / "firmware.hex";
  if (!GetParam().content.empty()) files.Write("firmware.hex", GetParam().content);
  if (GetParam().path == "fifo") {
    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);  // no writer: reading it would wait for ever
  } else if (!GetParam().path.empty()) {
    file = GetParam().path;
  }
  const ChildResult run = Flash({"--port", device.Port(), "update", file.string()});
  EXPECT_EQ(run.exitStatus, 3) << run.out << run.err;
  EXPECT_TRUE(Contains(run.out, GetParam().message)) << run.out;
  EXPECT_TRUE(device.sim.ReceivedBytes().empty()) << "the file is read before the port opens";
}

INSTANTIATE_TEST_SUITE_P(
    Files, CliRefusedFile,
    ::testing::Values(RefusedFileCase{":10000000000102030405060708090A0B0C0D0E0F00\r\n:00000001FF\r\n",
                                      "File import failure : Checksum error.", ""},
                      RefusedFileCase{":10000000000102030405060708090A0B0C0D0E0F78\r\n",
                                      "File import failure : Incompleted file.", ""},
                      RefusedFileCase{"", "Cannot open file \"", ""},
                      RefusedFileCase{"", "\". Not a regular file", "fifo"},
                      RefusedFileCase{"", "Cannot open file \"/dev/zero\". Not a regular file", "/dev/zero"}));

// A port that will not open ends the command there, with the system's
// reason; no greeting goes to a closed port.
TEST_F(Cli, MissingPortExits4SayingWhy) {
  const std::string port = (files.Path() / "no-such-port").string();
  for (const char* command : {"connect", "update"}) {
    std::vector<std::string> args{"--port", port, command};
    if (std::string(command) == "update") args.push_back(WriteImage(SampleImage(32, 0)));
    const ChildResult run = Flash(args);
    EXPECT_EQ(run.exitStatus, 4) << run.out << run.err;
    EXPECT_EQ(Lines(run.out), std::vector<std::string>{"Error opening serial port,Is not connect Mx7410 !"});
    EXPECT_EQ(run.err, "mx7410-flash: cannot open " + port + ": No such file or directory\n");
  }
}

TEST_F(Cli, PortHeldByAnotherProgramExits4AsBusy) {
  Device device;
  const int holder = ::open(device.Port().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  const ChildResult run = Flash({"--port", device.Port(), "connect"});
  ::close(holder);
  EXPECT_EQ(run.exitStatus, 4) << run.out << run.err;
  EXPECT_TRUE(Contains(run.err, "cannot open " + device.Port() + ": Device or resource busy")) << run.err;
}

TEST_F(Cli, PortTakesASimulatorsPublishedName) {
  Device device;
  device.sim.Publish(portDirectory().string(), "sim0");
  const ChildResult run = Flash({"--port", "sim0", "--quiet", "connect"});
  EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
  EXPECT_EQ(Lines(run.out).front(), "Bootloader Version:1.1");
}

TEST_F(Cli, PortsLongDescribesEveryPortLikeThePlainList) {
  Device device;
  device.sim.Publish(portDirectory().string(), "sim0");
  const ChildResult plain = Flash({"ports"});
  const ChildResult run = Flash({"ports", "--long"});
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  const std::vector<std::string> lines = Lines(run.out);
  const std::vector<std::string> names = Lines(plain.out);
  ASSERT_EQ(lines.size(), names.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_TRUE(lines[i].starts_with(names[i] + "\t")) << lines[i];
    EXPECT_EQ(std::count(lines[i].begin(), lines[i].end(), '\t'), 7) << lines[i];
  }
  const std::string published = (portDirectory() / "sim0").string();
  EXPECT_EQ(lines.back(), published + "\t" + published + "\tsimulator\t-\t-\t-\t-\t-");
}

TEST_F(Cli, SilentDeviceExits1WithTheConnectFailure) {
  sim::SimOptions options;
  options.silent = true;
  Device device(options);
  const ChildResult run = Flash({"--port", device.Port(), "--wait", "1", "update", WriteImage(SampleImage(32, 0))});
  EXPECT_EQ(run.exitStatus, 1) << run.out << run.err;
  EXPECT_EQ(Lines(run.out), std::vector<std::string>{"May be Not on Bootloader Connect fail!"});
  EXPECT_EQ(device.ReceivedAfter(2), kWakeAndVersion);
}

TEST_F(Cli, LostReplyEndsWithTimeOut) {
  sim::SimOptions options;
  options.dropReplyToBlock = 2;
  Device device(options);
  const ChildResult run =
      Flash({"--port", device.Port(), "--wait", "1", "--quiet", "update", WriteImage(SampleImage(1024, 0))});
  EXPECT_EQ(run.exitStatus, 1) << run.out << run.err;
  EXPECT_EQ(Lines(run.out), (std::vector<std::string>{"Time Out!", "Program Stop Update!"}));
}

// ---- Endings that must tell the truth -------------------------------------------------

// Writing a file without data would only erase the board: refused before
// any port opens, pointing at the erase command.
TEST_F(Cli, FileWithoutDataIsRefusedAndTouchesNoDevice) {
  Device device;
  const std::string file = files.Write("empty.hex", ":00000001FF\r\n").string();
  for (const char* command : {"update", "restore", "wizard"}) {
    const ChildResult run = Flash({"--port", device.Port(), "--quiet", command, file});
    EXPECT_EQ(run.exitStatus, 3) << command << run.out << run.err;
    EXPECT_TRUE(Contains(run.out, "erase command")) << run.out;
  }
  const ChildResult check = Flash({"check", file});
  EXPECT_EQ(check.exitStatus, 3) << check.out;
  EXPECT_TRUE(Contains(check.out, "no data records")) << check.out;
  EXPECT_TRUE(device.sim.ReceivedBytes().empty());
}

TEST_F(Cli, LastFramesHeldBackByTheDeviceAreNoFinishedUpdate) {
  sim::SimOptions options;
  options.xoffAfterBlock = 1;  // the only block: the end frame and version request wait for XON
  options.xoffHold = 10s;
  Device device(options);
  const ChildResult run = Flash({"--port", device.Port(), "--quiet", "update", WriteImage(SampleImage(64, 0))});
  EXPECT_EQ(run.exitStatus, 1) << run.out << run.err;
  EXPECT_EQ(Lines(run.out), std::vector<std::string>{"The last frames could not be sent, update not finished!"});
  EXPECT_EQ(device.sim.EndFrameCount(), 0);
}

TEST_F(Cli, VanishingDeviceIsReportedAsLostNotAsATimeOut) {
  sim::SimOptions options;
  options.hangUpAfterBlock = 1;
  Device device(options);
  const ChildResult run =
      Flash({"--port", device.Port(), "--wait", "30", "--quiet", "update", WriteImage(SampleImage(1024, 0))});
  EXPECT_EQ(run.exitStatus, 1) << run.out << run.err;
  EXPECT_EQ(Lines(run.out),
            (std::vector<std::string>{"Serial port lost, Mx7410 disconnected!", "Program Stop Update!"}))
      << "a time-out would say Time Out!";
}

// ---- Update Wizard -------------------------------------------------------------------

TEST_F(Cli, WizardWaitsForThePowerOnThenUpdates) {
  Device device;
  const std::string file = WriteImage(SampleImage(300, 0));
  ChildProcess child(Launch({"--port", device.Port(), "--max-wait", "60", "wizard", file}));
  // Switched on once the wizard says it waits, as a technician would.
  ASSERT_TRUE(child.WaitForOutput("Waiting for Turn on", 30s)) << child.OutputSoFar();
  device.sim.PowerOn();
  const ChildResult run = child.Finish();
  ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
  const auto lines = Lines(run.out);
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "Waiting for Turn on(Restart) Mx7410 Power");
  EXPECT_EQ(lines[1], "Update Wizard");
  EXPECT_EQ(lines[lines.size() - 2], "Finish Update");
  std::string why;
  EXPECT_TRUE(device.sim.MatchesHexFile(file, &why)) << why;
}

TEST_F(Cli, WizardGivesUpAfterMaxWait) {
  Device device;  // never switched on
  const ChildResult run = Flash({"--port", device.Port(), "--max-wait", "1", "wizard", WriteImage(SampleImage(32, 0))});
  EXPECT_EQ(run.exitStatus, 1) << run.out << run.err;
  EXPECT_EQ(Lines(run.out), std::vector<std::string>{"Waiting for Turn on(Restart) Mx7410 Power"});
  EXPECT_TRUE(Contains(run.err, "no device seen within 1 s")) << run.err;
  EXPECT_TRUE(device.sim.ReceivedBytes().empty());
}

// Ctrl-C and SIGTERM close the port and end with the status a shell expects of them.
TEST_F(Cli, InterruptClosesThePortAndEndsWithTheSignalsStatus) {
  for (const auto& [signal, status] : {std::pair{SIGINT, 130}, std::pair{SIGTERM, 143}}) {
    Device device;  // never switched on: the wizard would wait for ever
    ChildProcess child(Launch({"--port", device.Port(), "wizard", WriteImage(SampleImage(32, 0))}));
    ASSERT_TRUE(child.WaitForOutput("Waiting for Turn on", 10s)) << child.OutputSoFar();
    ::kill(child.Pid(), signal);
    const ChildResult run = child.Finish(10s);
    EXPECT_FALSE(run.killed);
    EXPECT_EQ(run.exitStatus, status) << run.out << run.err;
    EXPECT_TRUE(Contains(run.err, "interrupted, closing the port")) << run.err;
    EXPECT_TRUE(device.sim.ReceivedBytes().empty());
  }
}

// ---- Several boards --------------------------------------------------------------------

TEST_F(Cli, TwoProcessesFlashTwoBoardsAtOnce) {
  Device first;
  Device second;
  const std::string file = WriteImage(SampleImage(2048, 0));  // 8 acknowledged blocks

  // How long they take together is scripts/bench-gang.sh's business.
  ChildProcess one(Launch({"--port", first.Port(), "--quiet", "update", file}));
  ChildProcess two(Launch({"--port", second.Port(), "--quiet", "update", file}));
  const ChildResult runOne = one.Finish();
  const ChildResult runTwo = two.Finish();

  EXPECT_EQ(runOne.exitStatus, 0) << runOne.out << runOne.err;
  EXPECT_EQ(runTwo.exitStatus, 0) << runTwo.out << runTwo.err;
  std::string why;
  EXPECT_TRUE(first.sim.MatchesHexFile(file, &why)) << why;
  EXPECT_TRUE(second.sim.MatchesHexFile(file, &why)) << why;
}

}  // namespace
}  // namespace mx::test
