// mx7410-flash: the updater window's behaviour on the command line.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "CommandRunner.h"
#include "InterruptGuard.h"
#include "Terminal.h"
#include "TerminalView.h"
#include "app/form/UpdaterForm.h"
#include "serial/EventLoop.h"
#include "serial/SerialComm.h"

namespace mx::flash {
namespace {

// A run that Ctrl-C or SIGTERM asked to stop has this long to end on its own.
constexpr std::chrono::milliseconds kInterruptGrace{1500};

// Ends this process, and only it, once its output is out: when an
// interrupted run does not end in time. The ports get their settings back,
// the system closes them.
[[noreturn]] void EndThisProcess() {
  mx::RestorePortSettingsNow();
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  std::_Exit(kExitDeviceFailed);
}

TerminalSettings SettingsFor(const Options& options) {
  TerminalSettings settings;
  settings.quiet = options.quiet;
  settings.outputIsTerminal = IsTerminal(Stream::Output);
  settings.errorIsTerminal = IsTerminal(Stream::Error);
  settings.columns = TerminalColumns();
  if (CommandTakesFile(options.command)) {
    // Through UTF-8 both ways: a plain string would take the ANSI code page on Windows.
    const std::u8string file(options.file.begin(), options.file.end());
    const std::u8string absolute = std::filesystem::absolute(std::filesystem::path(file)).lexically_normal().u8string();
    settings.file.assign(absolute.begin(), absolute.end());
  }
  return settings;
}

int RunCommand(const Options& options) {
  EventQueue loop;
  TerminalView view(std::cout, std::cerr, SettingsFor(options));

  FormServices services;
  services.language = options.language;
  services.showMessages = true;  // no settings file: "Show Message" checked
  // The window ends every copy of itself after a fatal connect error; the
  // command line only reports it, as a window of another name would.
  services.killProcessByName = [](const std::string&) { return false; };

  UpdaterForm form(loop, view, std::move(services));
  view.Attach(form);
  CommandRunner runner(options, loop, form, view);

  InterruptGuard guard(
      kInterruptGrace, [&loop, &runner] { loop.Post([&runner] { runner.Interrupt(); }); },
      [] {
        std::fputs("\nmx7410-flash: stopped\n", stderr);
        EndThisProcess();
      });
  return runner.Run();
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
  return RunCommand(parsed.options);
}
