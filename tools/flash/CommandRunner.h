#pragma once

// Runs one command of mx7410-flash by driving the window's behaviour: it
// clicks the window's buttons in code and sets its options, exactly as a
// user of the window would, and reports the outcome as an exit status.
// Every member runs on the form's thread.

#include "CommandLine.h"
#include "TerminalView.h"
#include "app/UpdaterForm.h"
#include "serial/EventLoop.h"

namespace mx::flash {

class CommandRunner {
 public:
  CommandRunner(const Options& options, EventLoop& loop, UpdaterForm& form, TerminalView& view);

  // Starts the form, applies the options, runs the command, closes the port.
  // Returns the exit status.
  int Run();

  // The user asked to stop: close the port through the form. Whatever runs
  // then ends as the window's actions end when their port goes away.
  void Interrupt();
  // The wizard's --max-wait has passed: stop waiting if it still waits.
  void MaxWaitPassed();

 private:
  void ApplyOptions();
  int ListPorts();
  int RunConnect();
  int RunTransfer(Control button);
  int RunErase();
  int RunWizard();

  bool Connect();
  bool NextStepMayRun();
  int TransferStatus();
  void PrintRunEnd(ActionResult result, bool transfer);
  void PrintVersionLines();
  void Disconnect();

  const Options& options_;
  EventLoop& loop_;
  UpdaterForm& form_;
  TerminalView& view_;
  bool interrupted_ = false;
  bool maxWaitPassed_ = false;
};

// The exit status for the way the form's last action ended.
int ExitStatusFor(ActionResult result);

}  // namespace mx::flash
