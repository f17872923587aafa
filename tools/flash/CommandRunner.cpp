#include "CommandRunner.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "DeadlineTimer.h"
#include "PortAccess.h"
#include "Sha256.h"

namespace mx::flash {

int ExitStatusFor(ActionResult result) {
  switch (result) {
    case ActionResult::Success:
      return kExitSuccess;
    case ActionResult::FileRefused:
      return kExitFileRefused;
    case ActionResult::PortFailed:
      return kExitPortFailed;
    case ActionResult::DeviceFailed:
    case ActionResult::None:
      break;
  }
  return kExitDeviceFailed;
}

FormServices CommandLineServices(const Options& options) {
  FormServices services;
  services.language = options.language;
  services.showMessages = true;
  services.killProcessByName = [](const std::string&) { return false; };
  services.firmwareDigest = Sha256Hex;  // of the bytes read once, checked and flashed
  services.greetUnopenedPort = false;   // a port that will not open ends the command at once
  return services;
}

std::string AbsoluteFile(const Options& options) {
  if (!CommandTakesFile(options.command)) return {};
  // Through UTF-8 both ways: a plain string would take the ANSI code page on Windows.
  const std::u8string file(options.file.begin(), options.file.end());
  const std::u8string absolute = std::filesystem::absolute(std::filesystem::path(file)).lexically_normal().u8string();
  return std::string(absolute.begin(), absolute.end());
}

CommandRunner::CommandRunner(const Options& options, EventLoop& loop, UpdaterForm& form, TerminalView& view)
    : options_(options), loop_(loop), form_(form), view_(view) {}

int CommandRunner::Run() {
  form_.FormCreate();
  ApplyOptions();
  int status = RunChosenCommand();
  if (form_.LastOutcome().result == ActionResult::PortFailed) status = ReportOpenFailure();
  Disconnect();
  view_.EndTransientLine();
  view_.Flush();
  return status;
}

int CommandRunner::RunChosenCommand() {
  switch (options_.command) {
    case Command::Ports:
      return ListPorts();
    case Command::Connect:
      return RunConnect();
    case Command::Update:
      return RunAfterConnect(Control::BtnFileOpen, Action::Update);
    case Command::Restore:
      return RunAfterConnect(Control::BtnRestore, Action::Update);
    case Command::Erase:
      return RunAfterConnect(Control::BtnErase, Action::Erase);  // its confirmation is answered Yes
    case Command::Wizard:
      return RunWizard();
    case Command::Check:
      break;  // no device: CheckFile
    case Command::Station:
      break;  // Station runs one wizard or update per board
  }
  return kExitDeviceFailed;
}

// Says why the port would not open, in the system's words where it gave
// any, with the permission hint when that is the reason.
int CommandRunner::ReportOpenFailure() {
  const TComm& comm = form_.Comm1();
  const std::optional<ECommsError>& failure = comm.LastOpenFailure();
  if (!failure) {
    view_.PrintNote("no serial port is listed");  // the automatic choice found none
    return kExitPortFailed;
  }
  std::string why = failure->SystemError() ? failure->SystemError().message() : std::string(failure->what());
  while (!why.empty() && why.back() == ' ') why.pop_back();
  view_.PrintNote("cannot open " + comm.CommName() + ": " + why);
  HintAtPermission();
  return kExitPortFailed;
}

void CommandRunner::Interrupt() {
  if (interrupted_) return;
  interrupted_ = true;
  view_.PrintNote("interrupted, closing the port");
  Disconnect();
}

void CommandRunner::MaxWaitPassed() {
  if (!form_.Flags().wizardWaiting || form_.Flags().portClosed) return;
  maxWaitPassed_ = true;
  view_.PrintNote("no device seen within " + std::to_string(*options_.maxWaitSeconds) + " s");
  Disconnect();
}

// As the user would set them in the window before connecting.
void CommandRunner::ApplyOptions() {
  if (options_.port) {
    form_.SetCheckedByUser(Control::cbAuto_select, false);
    form_.SetTextByUser(Control::ComboBox1, *options_.port);
  }
  form_.SetTextByUser(Control::ComboBoxwWait, std::to_string(options_.waitSeconds));
  form_.Comm1().SetReadIntervalTimeout(options_.readGapMs);
}

int CommandRunner::ListPorts() {
  const std::vector<std::string>& ports = form_.Controls().PortItems();
  if (ports.empty()) {
    view_.PrintNote("no serial port is listed");
    return kExitPortFailed;
  }
  for (const std::string& port : ports) view_.PrintResultLine(port);
  return kExitSuccess;
}

int CommandRunner::RunConnect() {
  const bool connected = Connect();
  const ActionOutcome& outcome = form_.LastOutcome();
  if (connected && options_.quiet && outcome.version) {
    for (const std::string& line : VersionLines(*outcome.version, form_.Texts())) view_.PrintResultLine(line);
  }
  return ExitStatusFor(outcome.result);
}

// Update (BtnFileOpen), Restore (BtnRestore) or Erase (BtnErase) on a fresh
// connection; the file dialog is answered with the command line's file.
int CommandRunner::RunAfterConnect(Control button, Action action) {
  if (!Connect()) return ExitStatusFor(form_.LastOutcome().result);
  if (!NextStepMayRun()) return kExitDeviceFailed;
  form_.ClickInCode(button);
  const int status = Report(action);
  return action == Action::Update ? RetryAfterTimeOut(status) : status;
}

// The popup entry "Update Wizard": waits for the device, connects, updates.
int CommandRunner::RunWizard() {
  std::unique_ptr<DeadlineTimer> maxWait;
  if (options_.maxWaitSeconds) {
    maxWait =
        std::make_unique<DeadlineTimer>(DeadlineTimer::Clock::now() + std::chrono::seconds(*options_.maxWaitSeconds),
                                        [this] { loop_.Post([this] { MaxWaitPassed(); }); });
  }
  form_.ClickInCode(Control::SetBootloader1);
  maxWait.reset();
  if (maxWaitPassed_) return kExitDeviceFailed;
  return RetryAfterTimeOut(Report(Action::Update));
}

bool CommandRunner::BoardSeen() const {
  return options_.command != Command::Wizard || form_.LastOutcome().action != Action::Wizard;
}

// A transfer cut short by a time-out keeps its image and its connection:
// the same image is written again from the erase, up to Options::retries times.
int CommandRunner::RetryAfterTimeOut(int status) {
  while (retries_ < options_.retries && MayRetry()) {
    ++retries_;
    view_.PrintNote("timed out; writing again from the erase (" + std::to_string(retries_) + " of " +
                    std::to_string(options_.retries) + ")");
    form_.ClickInCode(Control::BtnFileOpen);  // disabled: sends the held image again
    status = Report(Action::Update);
  }
  return status;
}

bool CommandRunner::MayRetry() {
  const ActionOutcome& outcome = form_.LastOutcome();
  const bool timedOut = outcome.result == ActionResult::DeviceFailed && outcome.transfer &&
                        outcome.transfer->ending == TransferOutcome::Ending::TimedOut;
  return timedOut && form_.ImageHeld() && NextStepMayRun();
}

bool CommandRunner::Connect() {
  form_.ClickInCode(Control::Button_Open);
  return form_.FConnected() && form_.LastOutcome().result == ActionResult::Success;
}

// A port refused for lack of permission gets one line on how to get it.
void CommandRunner::HintAtPermission() {
  const std::string& device = form_.Comm1().CommName();
  if (const auto hint = PermissionHint(device, ProbeDeviceAccess(device))) view_.PrintNote(*hint);
}

// Handles what arrived between two steps (an interrupt among it), as the
// window's event loop does between two clicks.
bool CommandRunner::NextStepMayRun() {
  loop_.ProcessPendingEvents();
  return !interrupted_ && form_.FConnected();
}

// Prints the status lines the action ended with and returns its exit status.
// An action that never started (an earlier one failed first) fails.
int CommandRunner::Report(Action expected) {
  view_.EndTransientLine();
  const ActionOutcome& outcome = form_.LastOutcome();
  for (const std::string& line : outcome.closingLines) view_.PrintResultLine(line);
  if (outcome.action != expected && outcome.result == ActionResult::Success) return kExitDeviceFailed;
  return ExitStatusFor(outcome.result);
}

// Through the window's popup entry "DisConnect", which asks nothing; the
// port closes once what is queued has left it.
void CommandRunner::Disconnect() {
  if (form_.FConnected() || form_.Comm1().IsOpen()) form_.ClickInCode(Control::DisConnect1);
}

}  // namespace mx::flash
