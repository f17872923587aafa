// The Update Wizard (the device actions' power-on catch, then Connect,
// Update and Send), Restore and the erase-only action.

#include <charconv>
#include <chrono>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "app/ActionTexts.h"
#include "app/form/UpdaterForm.h"

namespace mx {

namespace {

// Every reply wait lasts at least this long once an erase has run.
constexpr int kEraseWaitSeconds =
    static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(DeviceActions::kEraseReplyTimeout).count());

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ') text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.remove_suffix(1);
  return text;
}

// The wait text as a decimal number; nullopt when it is not one.
std::optional<int> DecimalValue(std::string_view text) {
  int value = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ec != std::errc{} || result.ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

// The wait time box after an erase: at least 5 seconds from then on.
void RaiseWaitTimeForErase(FormControls& controls) {
  const std::optional<int> seconds = DecimalValue(TrimBlanks(controls.Caption(Control::ComboBoxwWait)));
  if (!seconds || *seconds < kEraseWaitSeconds) {
    controls.SetCaption(Control::ComboBoxwWait, std::to_string(kEraseWaitSeconds));
  }
}

}  // namespace

// ---- Update Wizard ----------------------------------------------------------

void UpdaterForm::SetBootloader1Click() {
  SetChecked(Control::CBShowmag, true);  // the wizard watches the receive log
  state_.wizardWaiting = true;
  ClickInCode(Control::Set_Bootloader);
}

void UpdaterForm::Set_BootloaderClick() {
  BeginAction(outcome_, Action::Wizard);
  if (!actions_.CatchPowerOn([this] { return OpenPortForWizard(); })) {
    // Ended before the device was seen, the port closed: later connects
    // must recognise replies.
    state_.wizardWaiting = false;
    ReportFailure(ActionResult::DeviceFailed, "", FailureNotice::None);
    return;
  }
  SetConnectState(false);  // the version request has left the port
  state_.wizardWaiting = false;

  ClickInCode(Control::Button_Open);
  if (state_.connected) ClickInCode(Control::BtnFileOpen);
  if (State(Control::Button_Send).enabled) ClickInCode(Control::Button_Send);
}

// Opens the port as the window's; a port that failed to open has said so,
// and the wait that follows ends at once.
bool UpdaterForm::OpenPortForWizard() {
  try {
    SetChecked(Control::TestData_CB, false);
    SetConnectState(true);
    return true;
  } catch (const std::exception&) {
    ReportFailure(ActionResult::PortFailed, " Is not connect Mx7410 !", FailureNotice::Message);
    SetConnectState(false);
    controls_.SetEnabled(Control::BtnErase, false);
    return false;
  }
}

void UpdaterForm::PowerOnWaitStarted() { controls_.MemoReplace(Texts().WaitPowerText + "\r\n"); }

void UpdaterForm::PowerOnWaited(long seconds) {
  controls_.SetCaption(Control::Label1, Texts().WaitPowerText + ":" + std::to_string(seconds));
}

// ---- Restore ----------------------------------------------------------------

void UpdaterForm::BtnRestoreClick() {
  state_.restoreMode = true;  // stays set after the run, until the popup entry Restore
  controls_.SetEnabled(Control::BtnRestore, false);
  ClickInCode(Control::BtnFileOpen);
}

void UpdaterForm::Restore1Click() {
  state_.restoreMode = true;
  ClickInCode(Control::Button_Open);
  state_.restoreMode = false;
}

// ---- Erase ------------------------------------------------------------------

// The transfer, told to stop after its erase: what Button_Send does while
// the window's EraseOnly flag is set.
void UpdaterForm::BtnEraseClick() {
  if (!view_.Confirm("Erase Data!", ConfirmButtons::YesNo)) return;
  RaiseWaitTimeForErase(controls_);
  BeginAction(outcome_, Action::Erase);
  SendFirmware({true, controls_.Checked(Control::TestData_CB), ReplyTimeout(controls_)});
  if (actions_.Session().Lost()) return;  // the vanished port has said so
  if (outcome_.transfer && outcome_.transfer->ending == TransferOutcome::Ending::NotAnswered) return;  // said so too
  const Reply reply = actions_.Session().LastReply();
  const std::string message = EraseMessage(reply);
  if (reply != Reply::EraseAccepted) return ReportFailure(ActionResult::DeviceFailed, message, FailureNotice::Message);
  ReportSuccess();
  view_.ShowMessage(message);
}

}  // namespace mx
