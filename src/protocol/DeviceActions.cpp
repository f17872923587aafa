// The device actions built from connect, update and transfer: the Update
// Wizard, Restore and the erase-only action.

#include <algorithm>
#include <charconv>
#include <chrono>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "app/UpdaterForm.h"
#include "protocol/Frames.h"

namespace mx {

namespace {

constexpr std::chrono::milliseconds kPowerOnPoll{250};
constexpr int kPollsPerSecond = 4;
// Pauses around the wizard's version request; they handle no events.
constexpr double kSettleSeconds = 1.0;
constexpr double kAfterRequestSeconds = 0.05;
// Every reply wait lasts at least this long once an erase has run.
constexpr int kEraseWaitSeconds = 5;

// Line `index` (from 0) of a memo text whose lines end with CR LF, CR or LF;
// empty when there is no such line.
std::string_view MemoLine(std::string_view text, std::size_t index) {
  std::size_t start = 0;
  for (std::size_t line = 0; start < text.size(); ++line) {
    const std::size_t end = std::min(text.find_first_of("\r\n", start), text.size());
    if (line == index) return text.substr(start, end - start);
    start = end;
    if (start < text.size() && text[start] == '\r') ++start;
    if (start < text.size() && text[start] == '\n') ++start;
  }
  return {};
}

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

}  // namespace

// ---- Update Wizard ----------------------------------------------------------

void UpdaterForm::SetBootloader1Click() {
  SetChecked(Control::CBShowmag, true);  // the wizard watches the receive log
  wizardWaiting_ = true;
  ClickInCode(Control::Set_Bootloader);
}

void UpdaterForm::Set_BootloaderClick() {
  if (!OpenPortForWizard() || !WaitForPowerOn()) {
    // Ended before the device was seen: later connects must recognise replies.
    wizardWaiting_ = false;
    return;
  }
  BusyWait(kSettleSeconds);
  SendFrame(kVersionFrame);
  BusyWait(kAfterRequestSeconds);
  SetConnectState(false);  // after the request has left the port
  wizardWaiting_ = false;

  ClickInCode(Control::Button_Open);
  if (connected_) ClickInCode(Control::BtnFileOpen);
  if (State(Control::Button_Send).enabled) ClickInCode(Control::Button_Send);
}

bool UpdaterForm::OpenPortForWizard() {
  try {
    SetChecked(Control::TestData_CB, false);
    SetConnectState(true);
    ArmReceiver();
    receiver_.rxLogCount = 0;
    MemoReplace(texts_.WaitPowerText + "\r\n");
    return true;
  } catch (const std::exception&) {
    view_.ShowMessage(" Is not connect Mx7410 !");
    SetConnectState(false);
    SetEnabled(Control::BtnErase, false);
    lastResult_ = ActionResult::PortFailed;
    return false;
  }
}

// Waits, handling events, until the device's first frame has written the
// memo's second line (true) or the port has been closed (false).
bool UpdaterForm::WaitForPowerOn() {
  const bool opened = connected_;
  long polls = 0;
  while (MemoLine(memoText_, 1).empty() && !portClosed_) {
    loop_.RunUntil(Clock::now() + kPowerOnPoll);
    ++polls;
    if (polls % kPollsPerSecond == 0) {
      SetCaption(Control::Label1, texts_.WaitPowerText + ":" + std::to_string(polls / kPollsPerSecond));
    }
  }
  if (!portClosed_) return true;
  lastResult_ = opened ? ActionResult::DeviceFailed : ActionResult::PortFailed;
  return false;
}

// ---- Restore ----------------------------------------------------------------

void UpdaterForm::BtnRestoreClick() {
  restoreMode_ = true;  // stays set after the run, until the popup entry Restore
  SetEnabled(Control::BtnRestore, false);
  ClickInCode(Control::BtnFileOpen);
}

void UpdaterForm::Restore1Click() {
  restoreMode_ = true;
  ClickInCode(Control::Button_Open);
  restoreMode_ = false;
}

// ---- Erase ------------------------------------------------------------------

void UpdaterForm::BtnEraseClick() {
  if (!view_.Confirm("Erase Data!", ConfirmButtons::YesNo)) return;
  RaiseWaitTimeForErase();
  eraseOnly_ = true;
  ClickInCode(Control::Button_Send);
  if (portLost_) {
    eraseOnly_ = false;  // the hang-up has said so
    return;
  }
  const bool erased = replyWord_ == "EraseOK";
  lastResult_ = erased ? ActionResult::Success : ActionResult::DeviceFailed;
  view_.ShowMessage(std::string(erased ? "Erase successful!(" : "Erase fail!(") + replyWord_ + ")");
  eraseOnly_ = false;
}

void UpdaterForm::RaiseWaitTimeForErase() {
  const std::optional<int> seconds = DecimalValue(TrimBlanks(State(Control::ComboBoxwWait).caption));
  if (!seconds || *seconds < kEraseWaitSeconds) SetCaption(Control::ComboBoxwWait, std::to_string(kEraseWaitSeconds));
}

}  // namespace mx
