// mx7410-flash: the updater window's behaviour on the command line.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "CheckFile.h"
#include "CommandLine.h"
#include "CommandRunner.h"
#include "Gang.h"
#include "GangReport.h"
#include "InterruptGuard.h"
#include "PortListing.h"
#include "Sha256.h"
#include "Terminal.h"
#include "TerminalView.h"
#include "app/HostSystem.h"
#include "app/form/UpdaterForm.h"
#include "serial/EventLoop.h"
#include "serial/SerialComm.h"
#include "update/FileAccess.h"
#include "update/HexFile.h"

namespace mx::flash {
namespace {

// A run that Ctrl-C or SIGTERM asked to stop has this long to end on its own.
constexpr std::chrono::milliseconds kInterruptGrace{1500};

// Ends this process, and only it, once its output is out: when an
// interrupted run does not end in time, or at a second Ctrl-C. The ports get
// their settings back, the system closes them.
[[noreturn]] void EndAfterInterrupt() {
  std::fputs("\nmx7410-flash: stopped\n", stderr);
  mx::RestorePortSettingsNow();
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  std::_Exit(kExitDeviceFailed);
}

StreamSettings StreamSettingsFor(const Options& options) {
  return {options.quiet, IsTerminal(Stream::Output), IsTerminal(Stream::Error), TerminalColumns()};
}

// The run on one port, or on the automatic choice: today's single-port path.
int RunCommand(const Options& options) {
  EventQueue loop;
  StreamOutput output(std::cout, std::cerr, StreamSettingsFor(options));
  TerminalView view(output, TerminalSettings{options.quiet, AbsoluteFile(options)});
  UpdaterForm form(loop, view, CommandLineServices(options));
  view.Attach(form);
  CommandRunner runner(options, loop, form, view);

  InterruptGuard guard(
      kInterruptGrace, [&loop, &runner] { loop.Post([&runner] { runner.Interrupt(); }); }, EndAfterInterrupt);
  return runner.Run();
}

// The ports of a run on several: those given, every listed one, or the
// automatic choice for a single JSON run.
std::vector<std::string> GangPorts(const Options& options) {
  if (!options.ports.empty()) return options.ports;
  std::vector<std::string> listed = ListSerialPortNames();
  if (options.allPorts || listed.empty()) return listed;
  return {listed.back()};
}

// Several ports at once, or any run with JSON output.
int RunGang(const Options& options) {
  const std::vector<std::string> ports = GangPorts(options);
  if (ports.empty()) {
    std::cerr << "mx7410-flash: no serial port is listed\n";
    return kExitPortFailed;
  }
  std::unique_ptr<GangReport> report;
  if (options.json) {
    const std::string sha = CommandTakesFile(options.command)
                                ? Sha256Hex(ReadRegularFile(AbsoluteFile(options), kMaxHexFileBytes).bytes)
                                : std::string();
    report = std::make_unique<JsonReport>(std::cout, std::cerr, ports, options, sha);
  } else {
    report = std::make_unique<ConsoleReport>(std::cout, std::cerr, ports, StreamSettingsFor(options));
  }
  Gang gang(options, ports, *report);
  InterruptGuard guard(
      kInterruptGrace, [&gang] { gang.Interrupt(); }, EndAfterInterrupt);
  return gang.Run();
}

}  // namespace
}  // namespace mx::flash

int main(int argc, char** argv) {
  using namespace mx::flash;
  PrepareProcessSignals();
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
  if (options.command == Command::Ports && options.longListing) {
    return PrintLongPortList(mx::DescribeSerialPorts(), std::cout, std::cerr);
  }
  const bool several = options.allPorts || options.ports.size() > 1;
  if (CommandUsesDevice(options.command) && (several || options.json)) return RunGang(options);
  return RunCommand(options);
}
