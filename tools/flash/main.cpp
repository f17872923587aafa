// mx7410-flash: the updater window's behaviour on the command line.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "CheckFile.h"
#include "CommandLine.h"
#include "ConsoleReport.h"
#include "Gang.h"
#include "InterruptGuard.h"
#include "JsonReport.h"
#include "PortListing.h"
#include "PortRun.h"
#include "Station.h"
#include "StationLog.h"
#include "StationReport.h"
#include "Terminal.h"
#include "TerminalView.h"
#include "app/HostSystem.h"
#include "serial/SerialComm.h"
#include "update/FirmwareImage.h"

namespace mx::flash {
namespace {

// A run that Ctrl-C or SIGTERM asked to stop has this long to end on its own.
constexpr std::chrono::milliseconds kInterruptGrace{1500};

// Ends this process, and only it, once its output is out: when an
// interrupted run does not end in time, or at a second Ctrl-C. The ports get
// their settings back, the system closes them.
[[noreturn]] void EndAfterInterrupt(int exitStatus) {
  std::fputs("\nmx7410-flash: stopped\n", stderr);
  mx::RestorePortSettingsNow();
  RestoreConsole();
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  std::_Exit(exitStatus);
}

StreamSettings StreamSettingsFor(const Options& options) {
  return {options.quiet, IsTerminal(Stream::Output), IsTerminal(Stream::Error), TerminalColumns(),
          TerminalTakesControlSequences()};
}

// The run on one port, or on the automatic choice: today's single-port path.
int RunCommand(const Options& options) {
  StreamOutput output(std::cout, std::cerr, StreamSettingsFor(options));
  PortRun run(options, output);
  InterruptGuard guard(
      kInterruptGrace, [&run] { run.Interrupt(); }, EndAfterInterrupt);
  return guard.ExitStatus(run.Run());
}

// The ports of a run on several: those given, the adapters and simulators
// for --all-ports, or the automatic choice for a single JSON run.
std::vector<std::string> GangPorts(const Options& options) { return ChooseGangPorts(options, DescribeSerialPorts()); }

// Several ports at once, or any run with JSON output.
int RunGang(const Options& options) {
  const std::vector<std::string> ports = GangPorts(options);
  if (ports.empty()) {
    std::cerr << "mx7410-flash: " << NoGangPortNote(options) << '\n';
    return kExitPortFailed;
  }
  std::unique_ptr<GangReport> report;
  if (options.json) {
    report = std::make_unique<JsonReport>(std::cout, std::cerr, ports, options);
  } else {
    report = std::make_unique<ConsoleReport>(std::cout, std::cerr, ports, StreamSettingsFor(options));
  }
  Gang gang(options, ports, *report);
  InterruptGuard guard(
      kInterruptGrace, [&gang] { gang.Interrupt(); }, EndAfterInterrupt);
  return guard.ExitStatus(gang.Run());
}

// Until Ctrl-C: every board that comes, each on its own thread.
int RunStation(const Options& options) {
  // A file that every board would refuse is refused once, at the start.
  if (const ImageReading reading = ReadFirmwareFile(AbsoluteFile(options)); !reading.image) {
    std::cerr << "mx7410-flash: " << reading.refusal << '\n';
    return kExitFileRefused;
  }
  std::unique_ptr<StationLog> log;
  try {
    if (!options.logFile.empty()) log = std::make_unique<StationLog>(options.logFile);
    StationReport report(std::cout, std::cerr, options, StreamSettingsFor(options), std::move(log));
    Station station(options, report);
    InterruptGuard guard(
        kInterruptGrace, [&station] { station.Interrupt(); }, EndAfterInterrupt);
    station.Run();
    return guard.ExitStatus(kExitSuccess);
  } catch (const std::runtime_error& error) {
    std::cerr << "mx7410-flash: " << error.what() << '\n';
    return kExitUsage;
  }
}

}  // namespace
}  // namespace mx::flash

int main(int argc, char** argv) {
  using namespace mx::flash;
  PrepareProcessSignals();
  PrepareConsole();
  const ParsedCommandLine parsed = ParseCommandLine(ProgramArguments(argc, argv));
  switch (parsed.action) {
    case ParsedCommandLine::Action::ShowHelp:
      std::cout << HelpText();
      return kExitSuccess;
    case ParsedCommandLine::Action::ShowVersion:
      std::cout << "mx7410-flash " << MX_FLASH_VERSION << '\n';
      return kExitSuccess;
    case ParsedCommandLine::Action::UsageError:
      std::cerr << "mx7410-flash: " << parsed.error << '\n' << UsageText();
      return kExitUsage;
    case ParsedCommandLine::Action::Run:
      break;
  }
  const Options& options = parsed.options;
  if (options.command == Command::Check) return CheckFile(options, std::cout);
  if (options.command == Command::Station) return RunStation(options);
  if (options.command == Command::Ports && options.json) {
    return PrintJsonPortList(mx::DescribeSerialPorts(), std::cout, std::cerr);
  }
  if (options.command == Command::Ports && options.longListing) {
    return PrintLongPortList(mx::DescribeSerialPorts(), std::cout, std::cerr);
  }
  const bool several = options.allPorts || options.ports.size() > 1;
  if (CommandUsesDevice(options.command) && (several || options.json)) return RunGang(options);
  return RunCommand(options);
}
