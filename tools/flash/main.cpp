// mx7410-flash: the updater window's behaviour on the command line.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "CommandRunner.h"
#include "ProgressBar.h"
#include "Terminal.h"
#include "TerminalView.h"
#include "app/UpdaterForm.h"
#include "serial/EventLoop.h"

namespace mx::flash {
namespace {

// Ends this process, and only it, once its output is out. Used where the
// window would end every running copy of itself, and on a second Ctrl-C.
[[noreturn]] void EndThisProcess() {
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
    settings.file = std::filesystem::absolute(options.file).lexically_normal().string();
    if (settings.errorIsTerminal && !options.quiet) {
      settings.cumulativeRecordBytes = CumulativeRecordBytes(settings.file);
    }
  }
  return settings;
}

int RunCommand(const Options& options) {
  EventQueue loop;
  TerminalView view(std::cout, std::cerr, SettingsFor(options));

  UpdaterForm* formForExit = nullptr;
  FormServices services;
  services.language = options.language;
  services.showMessages = true;  // no settings file: "Show Message" checked
  services.killProcessByName = [&formForExit, &view](const std::string&) -> bool {
    if (formForExit != nullptr) formForExit->SetConnectState(false);
    view.EndTransientLine();
    EndThisProcess();
  };

  UpdaterForm form(loop, view, std::move(services));
  formForExit = &form;
  view.Attach(form);
  CommandRunner runner(options, loop, form, view);

  InterruptWatcher watcher([&loop, &runner](int count) {
    if (count > 1) {
      std::fputs("\nmx7410-flash: stopped\n", stderr);
      EndThisProcess();
    }
    loop.Post([&runner] { runner.Interrupt(); });
  });
  return runner.Run();
}

}  // namespace
}  // namespace mx::flash

int main(int argc, char** argv) {
  using namespace mx::flash;
  PrepareProcessSignals();
  const ParsedCommandLine parsed = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
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
