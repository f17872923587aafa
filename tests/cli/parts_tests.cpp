// The parts of mx7410-flash that need no device: the command line, the
// progress line and the terminal view's text output.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <sstream>

#include "CommandLine.h"
#include "InterruptGuard.h"
#include "JsonEvent.h"
#include "PortAccess.h"
#include "PortListing.h"
#include "ProgressBar.h"
#include "Sha256.h"
#include "StationLog.h"
#include "StationReport.h"
#include "TerminalView.h"
#include "support/TempDir.h"

namespace mx::flash {
namespace {

using Action = ParsedCommandLine::Action;
using namespace std::chrono_literals;

TEST(CommandLine, DefaultsFollowTheWindow) {
  const ParsedCommandLine parsed = ParseCommandLine({"connect"});
  ASSERT_EQ(parsed.action, Action::Run);
  EXPECT_EQ(parsed.options.command, Command::Connect);
  EXPECT_FALSE(parsed.options.port);
  EXPECT_EQ(parsed.options.waitSeconds, 3);
  EXPECT_EQ(parsed.options.language, "ENG");
  EXPECT_EQ(parsed.options.readGapMs, 100u);
  EXPECT_FALSE(parsed.options.maxWaitSeconds);
  EXPECT_FALSE(parsed.options.quiet);
}

TEST(CommandLine, OptionsTakeTheirValuesInEitherForm) {
  const ParsedCommandLine parsed = ParseCommandLine(
      {"--port", "ttyUSB1", "--wait=5", "wizard", "--lang", "ch", "-q", "--read-gap", "20", "--max-wait=30", "fw.hex"});
  ASSERT_EQ(parsed.action, Action::Run) << parsed.error;
  EXPECT_EQ(parsed.options.command, Command::Wizard);
  EXPECT_EQ(parsed.options.file, "fw.hex");
  EXPECT_EQ(parsed.options.port, "ttyUSB1");
  EXPECT_EQ(parsed.options.waitSeconds, 5);
  EXPECT_EQ(parsed.options.language, "CH");
  EXPECT_TRUE(parsed.options.quiet);
  EXPECT_EQ(parsed.options.readGapMs, 20u);
  EXPECT_EQ(parsed.options.maxWaitSeconds, 30);
}

TEST(CommandLine, ShortFormsOfTheCommonOptions) {
  const ParsedCommandLine parsed = ParseCommandLine({"-p", "ttyUSB1", "-q", "connect"});
  ASSERT_EQ(parsed.action, Action::Run) << parsed.error;
  EXPECT_EQ(parsed.options.port, "ttyUSB1");
  EXPECT_TRUE(parsed.options.quiet);
  EXPECT_EQ(ParseCommandLine({"-V"}).action, Action::ShowVersion);
  EXPECT_EQ(ParseCommandLine({"update", "--", "-p"}).options.file, "-p");  // after "--" a file name
}

TEST(CommandLine, StationTakesFixedPortsRetriesAndALog) {
  const ParsedCommandLine parsed =
      ParseCommandLine({"station", "fw.hex", "-p", "a", "--port", "b", "--retries", "3", "--log", "boards.jsonl"});
  ASSERT_EQ(parsed.action, Action::Run) << parsed.error;
  EXPECT_EQ(parsed.options.command, Command::Station);
  EXPECT_EQ(parsed.options.ports, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(parsed.options.retries, 3);
  EXPECT_EQ(parsed.options.logFile, "boards.jsonl");
  EXPECT_EQ(ParseCommandLine({"station", "fw.hex"}).options.retries, 2);
  EXPECT_EQ(ParseCommandLine({"update", "fw.hex"}).options.retries, 0);  // a run alone reports a time-out at once
}

TEST(PortListing, OneLineOfTabSeparatedFieldsWithDashesForTheUnknown) {
  SerialPortInfo adapter{
      "ttyUSB0", "/dev/ttyUSB0",      PortKind::Usb, "0403:6001", "FT4XQ2", "/dev/serial/by-id/usb-FTDI-if00-port0",
      "",        "FTDI\tFT232R\nUART"};
  EXPECT_EQ(
      LongPortLine(adapter),
      "ttyUSB0\t/dev/ttyUSB0\tUSB\t0403:6001\tFT4XQ2\t/dev/serial/by-id/usb-FTDI-if00-port0\t-\tFTDI FT232R UART");
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(PrintLongPortList({}, out, err), kExitPortFailed);
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(err.str(), "mx7410-flash: no serial port is listed\n");
}

TEST(CommandLine, DoubleDashEndsTheOptions) {
  const ParsedCommandLine parsed = ParseCommandLine({"update", "--", "--odd-name.hex"});
  ASSERT_EQ(parsed.action, Action::Run) << parsed.error;
  EXPECT_EQ(parsed.options.file, "--odd-name.hex");
}

TEST(CommandLine, HelpAndVersionWinOverEverythingElse) {
  EXPECT_EQ(ParseCommandLine({"update", "--help"}).action, Action::ShowHelp);
  EXPECT_EQ(ParseCommandLine({"-h"}).action, Action::ShowHelp);
  EXPECT_EQ(ParseCommandLine({"--version", "bogus"}).action, Action::ShowVersion);
}

TEST(CommandLine, EachCommandTakesItsArguments) {
  struct Case {
    std::vector<std::string> args;
    bool accepted;
  } cases[] = {
      {{"ports"}, true},
      {{"ports", "x"}, false},
      {{"connect"}, true},
      {{"erase"}, true},
      {{"erase", "fw.hex"}, false},
      {{"update", "a"}, true},
      {{"update"}, false},
      {{"restore", "a"}, true},
      {{"restore", "a", "b"}, false},
      {{"wizard", "a"}, true},
      {{"update", ""}, false},
      {{"--max-wait", "0", "ports"}, false},
      {{"--wait", "3601", "ports"}, false},
      {{"--wait", "3600", "ports"}, true},
      {{"--read-gap", "0", "ports"}, false},
      {{"--port", "", "ports"}, false},
      {{"station"}, false},
      {{"station", "fw.hex"}, true},
      {{"--all-ports", "station", "fw.hex"}, false},
      {{"--retries", "101", "station", "fw.hex"}, false},
      {{"--retries", "1", "update", "fw.hex"}, false},
      {{"--log", "x", "connect"}, false},
  };
  for (const Case& c : cases) {
    const ParsedCommandLine parsed = ParseCommandLine(c.args);
    EXPECT_EQ(parsed.action == Action::Run, c.accepted) << ::testing::PrintToString(c.args) << ": " << parsed.error;
    if (!c.accepted) {
      EXPECT_FALSE(parsed.error.empty());
    }
  }
}

TEST(CommandLine, NumbersAreDecimalAndValuesAreTakenAsTheyStand) {
  const ParsedCommandLine parsed = ParseCommandLine(
      {"--wait", "010", "--read-gap=0020", "--port", "[a,b]", "--retries", "07", "station", "[fw].hex"});
  ASSERT_EQ(parsed.action, Action::Run) << parsed.error;
  EXPECT_EQ(parsed.options.waitSeconds, 10);  // not octal
  EXPECT_EQ(parsed.options.readGapMs, 20u);
  EXPECT_EQ(parsed.options.ports, (std::vector<std::string>{"[a,b]"}));  // one name, not a list
  EXPECT_EQ(parsed.options.retries, 7);
  EXPECT_EQ(parsed.options.file, "[fw].hex");
  EXPECT_EQ(ParseCommandLine({"--wait", "5", "--wait", "7", "connect"}).options.waitSeconds, 7);  // the last wins
  for (const bool jsonFirst : {true, false}) {
    const ParsedCommandLine ports = ParseCommandLine(jsonFirst ? std::vector<std::string>{"--json", "ports"}
                                                               : std::vector<std::string>{"ports", "--json"});
    ASSERT_EQ(ports.action, Action::Run) << ports.error;
    EXPECT_EQ(ports.options.command, Command::Ports);
    EXPECT_TRUE(ports.options.json);
  }
}

TEST(CommandLine, UsageErrorsNameTheFaultInOneLine) {
  const struct {
    std::vector<std::string> args;
    std::string error;
  } cases[] = {
      {{"--wait", "0x10", "connect"}, "--wait wants a whole number from 1 to 3600, not \"0x10\""},
      {{"--port=", "connect"}, "--port wants a port name"},  // empty, not the next argument
      {{"--log=", "station", "fw.hex"}, "--log wants a file name"},
      {{"--quiet=yes", "connect"}, "--quiet takes no value"},
      {{"connect", "-p"}, "--port wants a value"},
      {{"-x", "connect"}, "unknown option -x"},
      {{"--speed=9600", "connect"}, "unknown option --speed"},
      {{"update", "fw.hex", "--", "extra"}, "unexpected argument \"extra\""},
      {{"connect", "a", "b"}, "unexpected argument \"a\""},
  };
  for (const auto& c : cases) {
    const ParsedCommandLine parsed = ParseCommandLine(c.args);
    EXPECT_EQ(parsed.action, Action::UsageError) << ::testing::PrintToString(c.args);
    EXPECT_EQ(parsed.error, c.error) << ::testing::PrintToString(c.args);
  }
  EXPECT_EQ(ParseCommandLine({"--wait", "0", "--help"}).action, Action::ShowHelp);
}

TEST(CommandLine, TheSynopsisNamesEveryOptionTheHelpDescribes) {
  const std::string usage = UsageText();
  const std::string help = HelpText();
  for (const char* option : {"[-p|--port NAME]...", "[--all-ports]", "[--wait SECONDS]", "[--lang ENG|CH]",
                             "[-q|--quiet]", "[-l|--long]", "[--json]", "[--read-gap MS]", "[--max-wait SECONDS]",
                             "station FILE [-p|--port NAME]... [--retries N] [--log FILE]", "check FILE"}) {
    EXPECT_NE(usage.find(option), std::string::npos) << option << "\n" << usage;
  }
  for (const char* line : {"  --port, -p NAME    the port", "  --long, -l         ports:",
                           "  station FILE    a production", "  --version, -V      the program's version"}) {
    EXPECT_NE(help.find(line), std::string::npos) << line;
  }
}

// ---- progress ------------------------------------------------------------------

TEST(ProgressLine, ShowsPercentBytesRateAndTimeLeft) {
  ProgressSample sample;
  sample.records = 512;
  sample.maxRecords = 1024;
  sample.bytesDone = 8192;
  sample.bytesTotal = 16384;
  sample.elapsed = 4s;
  EXPECT_EQ(FormatProgressLine(sample, 80),
            " 50% [############------------]  8.0 KiB / 16.0 KiB  2.0 KiB/s  0:04 left");
  EXPECT_LT(FormatProgressLine(sample, 80).size(), 80u);
}

TEST(ProgressLine, KeepsTheBarsWidthWhileTheDetailsGrow) {
  ProgressSample early;
  early.records = 1;
  early.maxRecords = 1024;
  early.bytesDone = 16;
  early.bytesTotal = 16384;
  ProgressSample later = early;
  later.records = 1000;
  later.bytesDone = 16000;
  later.elapsed = 10s;
  EXPECT_EQ(FormatProgressLine(early, 100).find(']'), FormatProgressLine(later, 100).find(']'));
}

TEST(ProgressLine, FitsANarrowTerminalAndCountsRecordsWithoutByteTotals) {
  ProgressSample sample;
  sample.records = 3;
  sample.maxRecords = 30;
  EXPECT_EQ(FormatProgressLine(sample, 80).substr(0, 5), " 10% ");
  EXPECT_NE(FormatProgressLine(sample, 80).find("3 / 30 records"), std::string::npos);
  EXPECT_LT(FormatProgressLine(sample, 20).size(), 20u);
  EXPECT_EQ(FormatProgressLine(sample, 20).find('['), std::string::npos);  // no room for a bar
}

TEST(ProgressLine, RateAppearsOnlyAfterHalfASecond) {
  ProgressSample sample;
  sample.records = 1;
  sample.maxRecords = 2;
  sample.bytesDone = 16;
  sample.bytesTotal = 20;
  sample.elapsed = 100ms;
  EXPECT_EQ(FormatProgressLine(sample, 200).find("/s"), std::string::npos);
}

TEST(ProgressTracker, DrawsTheEdgesAndAtMostEveryTenthOfASecondBetween) {
  ProgressTracker tracker;
  const auto start = ProgressTracker::Clock::now();
  const auto at = [](int records, std::uint64_t bytes) { return TransferProgress{records, bytes, 1600, 100}; };
  EXPECT_TRUE(tracker.Update(at(1, 16), start));
  EXPECT_FALSE(tracker.Update(at(2, 32), start + 50ms));
  EXPECT_TRUE(tracker.Update(at(3, 48), start + 150ms));
  const auto last = tracker.Update(at(100, 1600), start + 160ms);  // the end is always drawn
  ASSERT_TRUE(last);
  EXPECT_EQ(last->bytesDone, 1600u);
  EXPECT_EQ(last->elapsed, 160ms);
  // Records after the end record count on; the bytes stop at the image's.
  EXPECT_EQ(tracker.Update(at(101, 1616), start + 170ms)->bytesDone, 1600u);
}

// What the guard's callbacks were asked to do, from the watcher's threads.
struct InterruptLog {
  std::mutex mutex;
  std::condition_variable changed;
  int stopsAsked = 0;
  int ends = 0;
  int endStatus = 0;

  std::function<void()> AskToStop() {
    return [this] { Count(stopsAsked); };
  }
  std::function<void(int)> EndNow() {
    return [this](int status) {
      endStatus = status;
      Count(ends);
    };
  }
  void Count(int& counter) {
    {
      std::lock_guard lock(mutex);
      ++counter;
    }
    changed.notify_all();
  }
  bool WaitFor(const int& counter, int value) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 10s, [&] { return counter >= value; });
  }
};

TEST(InterruptGuard, AsksToStopThenEndsTheProcessIfItIsStillRunning) {
  PrepareProcessSignals();  // the signals reach only the guard's watcher thread

  InterruptLog busy;  // a run that does not stop: the grace ends it
  {
    InterruptGuard guard(100ms, busy.AskToStop(), busy.EndNow());
    ::kill(::getpid(), SIGTERM);
    ASSERT_TRUE(busy.WaitFor(busy.ends, 1));
    EXPECT_EQ(guard.ExitStatus(0), 143);
  }
  EXPECT_EQ(busy.stopsAsked, 1);
  EXPECT_EQ(busy.endStatus, 143);

  InterruptLog impatient;  // a second Ctrl-C does not wait for the grace
  {
    InterruptGuard guard(1h, impatient.AskToStop(), impatient.EndNow());
    ::kill(::getpid(), SIGINT);
    ASSERT_TRUE(impatient.WaitFor(impatient.stopsAsked, 1));
    ::kill(::getpid(), SIGTERM);  // the first request decides the status
    ASSERT_TRUE(impatient.WaitFor(impatient.ends, 1));
  }
  EXPECT_EQ(impatient.endStatus, 130);

  InterruptLog prompt;  // a run that stops within the grace ends normally
  {
    InterruptGuard guard(1h, prompt.AskToStop(), prompt.EndNow());
    ::kill(::getpid(), SIGINT);
    ASSERT_TRUE(prompt.WaitFor(prompt.stopsAsked, 1));
    EXPECT_EQ(guard.ExitStatus(1), 130);
  }
  EXPECT_EQ(prompt.ends, 0);
  EXPECT_EQ(InterruptGuard(
                1h, [] {}, [](int) {})
                .ExitStatus(3),
            3);  // no request: the run's own status
}

TEST(PortAccess, APortWithoutPermissionNamesItsGroupAndHowToJoinIt) {
  const std::string port = "/dev/ttyUSB0";
  EXPECT_EQ(PermissionHint(port, {true, false, "dialout"}),
            "/dev/ttyUSB0 belongs to the group \"dialout\", which you are not in; join it with "
            "'sudo usermod -aG dialout $USER', then log in again");
  EXPECT_EQ(PermissionHint(port, {true, false, ""}), "no permission to use /dev/ttyUSB0; ask for access to it");
  EXPECT_FALSE(PermissionHint(port, {true, true, "dialout"})) << "permitted: the failure lies elsewhere";
  EXPECT_FALSE(PermissionHint(port, {false, false, ""})) << "absent: the window's message says enough";

  const DeviceAccess null = ProbeDeviceAccess("/dev/null");
  EXPECT_TRUE(null.exists);
  EXPECT_TRUE(null.permitted);
  EXPECT_FALSE(ProbeDeviceAccess("/dev/no-such-port").exists);
}

TEST(Sha256, KnownDigests) {
  EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(JsonEvent, TimesAreUtcIsoWithMilliseconds) {
  using namespace std::chrono;
  const sys_days day = year{2026} / December / 9;
  EXPECT_EQ(UtcTimestamp(day + 4h + 46min + 15s + 7ms), "2026-12-09T04:46:15.007Z");
  EXPECT_EQ(UtcTimestamp(sys_days{year{1999} / December / 31} + 23h + 59min + 59s + 999ms), "1999-12-31T23:59:59.999Z");
  const nlohmann::json event = JsonEvent("start");
  EXPECT_EQ(event.at("event"), "start");
  EXPECT_EQ(event.at("time").get<std::string>().size(), 24u);
}

// Records go after what the file held, one whole line each, numbered in order.
TEST(StationReport, AppendsEachBoardsRecordToTheLogAndCountsTheTally) {
  mx::test::TempDir dir;
  const std::string path = dir.Write("boards.jsonl", "{\"earlier\":true}\n").string();
  Options options = ParseCommandLine({"station", "/abs/fw.hex"}).options;
  std::ostringstream out, err;
  StationReport report(out, err, options, StreamSettings{}, std::make_unique<StationLog>(path));

  BoardOutcome passed;
  passed.result = {"/dev/ttyUSB0", kExitSuccess, {}, 1.5s, {}};
  passed.messages = {"Finish Update! 1.5Sec."};
  BoardOutcome failed;
  failed.result = {"/dev/ttyUSB1", kExitDeviceFailed, {}, 3s, {}};
  failed.result.outcome.reason = "Time Out!";
  failed.retries = 2;
  report.BoardEnded("/dev/ttyUSB0", passed);
  report.BoardEnded("/dev/ttyUSB1", failed);

  std::ifstream in(path);
  std::vector<nlohmann::json> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1].at("board"), 1);
  EXPECT_EQ(lines[1].at("result"), "ok");
  EXPECT_EQ(lines[1].at("messages"), nlohmann::json::array({"Finish Update! 1.5Sec."}));
  EXPECT_EQ(lines[2].at("board"), 2);
  EXPECT_EQ(lines[2].at("attempts"), 3);
  EXPECT_EQ(lines[2].at("result"), "device-failed");
  EXPECT_EQ(out.str(), "#1 /dev/ttyUSB0: ok, 1.50 s\n#2 /dev/ttyUSB1: device-failed, Time Out!, 3.00 s\n");
  const StationTally tally = report.Tally();
  EXPECT_EQ(tally.passed, 1);
  EXPECT_EQ(tally.failed, 1);
  EXPECT_GT(tally.boardsPerHour, 0);
}

}  // namespace
}  // namespace mx::flash
