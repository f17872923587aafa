#pragma once

// Everything one command on one port needs, assembled in one place: its
// event queue, the terminal view, the window's behaviour and the command
// runner. A run alone, each port of a tray and each board of a station are
// one PortRun each, so they send the same bytes and report the same way.

#include "CommandLine.h"
#include "CommandRunner.h"
#include "TerminalView.h"
#include "app/form/UpdaterForm.h"
#include "serial/EventLoop.h"

namespace mx::flash {

class PortRun {
 public:
  // `output` must outlive the run.
  PortRun(Options options, TerminalOutput& output);
  PortRun(const PortRun&) = delete;
  PortRun& operator=(const PortRun&) = delete;

  // Runs the command on the calling thread, which becomes the form's thread;
  // returns its exit status.
  int Run() { return runner_.Run(); }
  // Asks the run to stop (CommandRunner::Interrupt). Callable from any thread.
  void Interrupt();

  const ActionOutcome& Outcome() const { return form_.LastOutcome(); }
  bool BoardSeen() const { return runner_.BoardSeen(); }
  int Retries() const { return runner_.Retries(); }
  const Options& RunOptions() const { return options_; }

 private:
  const Options options_;
  EventQueue loop_;
  TerminalView view_;
  UpdaterForm form_;
  CommandRunner runner_;
};

}  // namespace mx::flash
