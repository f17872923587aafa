#include "CommandRunner.h"

#include <memory>
#include <string>
#include <string_view>

#include "DeadlineTimer.h"

namespace mx::flash {

namespace {

bool StartsWith(std::string_view text, const std::string& prefix) {
  return !prefix.empty() && text.starts_with(prefix) && text.substr(prefix.size()).starts_with(":");
}

}  // namespace

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

CommandRunner::CommandRunner(const Options& options, EventLoop& loop, UpdaterForm& form, TerminalView& view)
    : options_(options), loop_(loop), form_(form), view_(view) {}

int CommandRunner::Run() {
  form_.FormCreate();
  ApplyOptions();
  int status = kExitDeviceFailed;
  switch (options_.command) {
    case Command::Ports:
      status = ListPorts();
      break;
    case Command::Connect:
      status = RunConnect();
      break;
    case Command::Update:
      status = RunTransfer(Control::BtnFileOpen);
      break;
    case Command::Restore:
      status = RunTransfer(Control::BtnRestore);
      break;
    case Command::Erase:
      status = RunErase();
      break;
    case Command::Wizard:
      status = RunWizard();
      break;
  }
  Disconnect();
  view_.EndTransientLine();
  view_.Flush();
  return status;
}

void CommandRunner::Interrupt() {
  if (interrupted_) return;
  interrupted_ = true;
  view_.PrintNote("interrupted, closing the port");
  Disconnect();
}

void CommandRunner::MaxWaitPassed() {
  if (!form_.WizardWaiting() || form_.PortClosed()) return;
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
  const std::vector<std::string>& ports = form_.PortItems();
  if (ports.empty()) {
    view_.PrintNote("no serial port is listed");
    return kExitPortFailed;
  }
  for (const std::string& port : ports) view_.PrintResultLine(port);
  return kExitSuccess;
}

int CommandRunner::RunConnect() {
  const bool connected = Connect();
  if (connected && options_.quiet) PrintVersionLines();
  PrintRunEnd(form_.LastResult(), false);
  return ExitStatusFor(form_.LastResult());
}

// Update (BtnFileOpen) or Restore (BtnRestore): the file dialog that the run
// opens is answered with the command line's file.
int CommandRunner::RunTransfer(Control button) {
  if (!Connect()) return ExitStatusFor(form_.LastResult());
  if (!NextStepMayRun()) return kExitDeviceFailed;
  form_.ClickInCode(button);
  return TransferStatus();
}

int CommandRunner::RunErase() {
  if (!Connect()) return ExitStatusFor(form_.LastResult());
  if (!NextStepMayRun()) return kExitDeviceFailed;
  form_.ClickInCode(Control::BtnErase);  // its confirmation is answered Yes
  if (view_.Confirmations() == 0) return kExitDeviceFailed;
  PrintRunEnd(form_.LastResult(), false);
  return ExitStatusFor(form_.LastResult());
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
  return TransferStatus();
}

bool CommandRunner::Connect() {
  form_.ClickInCode(Control::Button_Open);
  return form_.FConnected() && form_.LastResult() == ActionResult::Success;
}

// Handles what arrived between two steps (an interrupt among it), as the
// window's event loop does between two clicks.
bool CommandRunner::NextStepMayRun() {
  loop_.ProcessPendingEvents();
  return !interrupted_ && form_.FConnected();
}

int CommandRunner::TransferStatus() {
  view_.EndTransientLine();
  const ActionResult result = form_.LastResult();
  // Without a file chosen the run never started; an earlier success is not its.
  if (view_.FilesChosen() == 0 && result == ActionResult::Success) return kExitDeviceFailed;
  PrintRunEnd(result, view_.FilesChosen() > 0);
  return ExitStatusFor(result);
}

// The status labels a run ends with: "Time Out!" and "Program Stop Update!",
// or the completion text. After a refused file they only hold the reading's
// own progress, which the refusal message has already explained.
void CommandRunner::PrintRunEnd(ActionResult result, bool transfer) {
  view_.EndTransientLine();
  if (result != ActionResult::FileRefused) {
    for (const Control label : {Control::LabelTimeout, Control::Label7}) {
      const std::string& caption = form_.State(label).caption;
      if (!caption.empty()) view_.PrintResultLine(caption);
    }
  }
  if (!transfer || result != ActionResult::Success) return;
  if (form_.LastUpdateHadNoData()) {
    // The window shows nothing for it; a script needs to hear what happened.
    view_.PrintResultLine(form_.Texts().NoDataText);
  } else {
    view_.PrintResultLine(form_.State(Control::Label11).caption);
  }
}

// --quiet connect: the version lines are the command's result.
void CommandRunner::PrintVersionLines() {
  const LanguageTexts& texts = form_.Texts();
  std::string_view memo = form_.MemoText();
  while (!memo.empty()) {
    const std::size_t end = memo.find_first_of("\r\n");
    const std::string_view line = memo.substr(0, end);
    if (StartsWith(line, texts.BootloaderVersionText) || StartsWith(line, texts.OldVersionText) ||
        StartsWith(line, texts.RestorePointText)) {
      view_.PrintResultLine(line);
    }
    if (end == std::string_view::npos) break;
    memo.remove_prefix(end + 1);
  }
}

// Through the window's popup entry "DisConnect", which asks nothing.
void CommandRunner::Disconnect() {
  if (form_.FConnected() || form_.Comm1().IsOpen()) form_.ClickInCode(Control::DisConnect1);
}

}  // namespace mx::flash
