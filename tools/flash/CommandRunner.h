#pragma once

// Runs one command of mx7410-flash through the window's behaviour: it clicks
// the window's buttons in code and sets its options, as a user of the window
// would, so that the same bytes go out and the same texts come back. What it
// prints at the end and the exit status come from each action's outcome.
// Every member runs on the form's thread.

#include "CommandLine.h"
#include "TerminalView.h"
#include "app/form/UpdaterForm.h"
#include "serial/EventLoop.h"

namespace mx::flash {

class CommandRunner {
 public:
  CommandRunner(const Options& options, EventLoop& loop, UpdaterForm& form, TerminalView& view);

  // Starts the form, applies the options, runs the command, and closes the
  // port once what it queued has left it. Returns the exit status.
  int Run();

  // The user asked to stop: close the port through the form. Whatever runs
  // then ends as the window's actions end when their port goes away.
  void Interrupt();
  // The wizard's --max-wait has passed: stop waiting if it still waits.
  void MaxWaitPassed();

  // How often the image was written again after a time-out (Options::retries).
  int Retries() const { return retries_; }
  // The wizard saw a device power on (or the command needed no waiting):
  // a board was there.
  bool BoardSeen() const;

 private:
  void ApplyOptions();
  int RunChosenCommand();
  int ReportOpenFailure();
  int ListPorts();
  int RunConnect();
  int RunAfterConnect(Control button, Action action);
  int RunWizard();

  bool Connect();
  void HintAtPermission();
  bool NextStepMayRun();
  int Report(Action expected);
  int RetryAfterTimeOut(int status);
  bool MayRetry();
  void Disconnect();

  const Options& options_;
  EventLoop& loop_;
  UpdaterForm& form_;
  TerminalView& view_;
  bool interrupted_ = false;
  bool maxWaitPassed_ = false;
  int retries_ = 0;
};

// The exit status for the way an action ended.
int ExitStatusFor(ActionResult result);

// What the window's behaviour gets from the command line: its language, the
// message panel shown, no settings file, and no process ended after a fatal
// connect error (the window ends every copy of itself; the command line only
// reports it, as a window of another name would).
FormServices CommandLineServices(const Options& options);

// The firmware file of the command as an absolute path (UTF-8); empty when
// the command takes none.
std::string AbsoluteFile(const Options& options);

}  // namespace mx::flash
