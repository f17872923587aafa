// The Connect button: toggles the port, and on connect greets the bootloader
// and shows how that went.

#include "actions/DeviceActions.h"
#include "app/ActionTexts.h"
#include "app/form/UpdaterForm.h"
#include "protocol/Handshake.h"

namespace mx {

void UpdaterForm::Button_OpenClick() {
  try {
    controls_.SetMemoReadOnly(false);
    if (!controls_.MemoText().empty()) controls_.MemoReplace("");
    session_.ResetLog();
    if (state_.connected) {
      SetConnectState(false);
      controls_.SetCaption(Control::Label1, "");
      controls_.SetMemoReadOnly(true);
      return;
    }
    if (!RunHandshake()) return;
    session_.Arm();
    controls_.SetMemoReadOnly(true);
  } catch (const std::exception& error) {
    // A fault outside the handshake itself leaves the program in no state to
    // go on: it ends (this copy only: another may be flashing another board).
    ReportFailure(ActionResult::DeviceFailed, std::string(error.what()) + ",Connect error program will stop!",
                  FailureNotice::BeepAndMessage);
    services_.killProcessByName(services_.ownExecutableName);
  }
}

// Opens the port and greets the bootloader. True when the handshake has
// succeeded or "Code Report" only wanted the port open; false when it failed
// and the port is closed again.
bool UpdaterForm::RunHandshake() {
  BeginAction(outcome_, Action::Connect);
  try {
    SetConnectState(true);
    if (!state_.connected && !services_.greetUnopenedPort) return false;  // the open has said why
    if (controls_.Checked(Control::TestData_CB)) return true;             // its actions are usable at once
    const Greeting greeting = GreetBootloader(session_, ReplyTimeout(controls_));
    if (!greeting.requestQueued) controls_.MemoAppend(std::string(kFailToSendText) + "\r\n");
    if (session_.Lost()) return false;  // the vanished port has said so and closed it
    if (SeesRestartRequest() && !StartHandshakeOver()) return false;
    if (session_.LastReply() != Reply::Version) {
      // After a port that failed to open, that failure is the outcome.
      ReportFailure(ActionResult::DeviceFailed, Texts().ConnectFailText, FailureNotice::Message);
      SetConnectState(false);
      return false;
    }
    ReportSuccess();
    EnableDeviceActions();
    return true;
  } catch (const std::exception& error) {
    ReportFailure(ActionResult::DeviceFailed, std::string(error.what()) + ",(" + Texts().NotConnectedText + ")",
                  FailureNotice::Message);
    SetConnectState(false);
    return false;
  }
}

// The window looks for the device's request to be greeted again in the
// first line of its receive log, so it sees it only where that line shows
// the request's frame with the usual prefix: with "Show Message" on (frames
// are logged), in English or Chinese (without language texts the prefix is
// empty), and outside restore mode (whose caption is another prefix).
bool UpdaterForm::SeesRestartRequest() const {
  return language_.language != Language::None && !state_.restoreMode && AsksToBeGreetedAgain(session_.Receiver());
}

// Disconnects, empties the memo and connects afresh; the caller then goes on
// with the reply the fresh connect left. After kMaxHandshakeRestarts in a
// row the device is taken as failing: one message, port closed, and every
// connect still on the stack ends quietly (returns false).
bool UpdaterForm::StartHandshakeOver() {
  if (restarts_.count == kMaxHandshakeRestarts) {
    restarts_.gaveUp = true;
    ReportFailure(ActionResult::DeviceFailed, Texts().ConnectFailText, FailureNotice::Message);
    SetConnectState(false);
    return false;
  }
  const bool outermost = restarts_.count == 0;
  ++restarts_.count;
  ClickInCode(Control::Button_Open);
  controls_.MemoReplace("");
  ClickInCode(Control::Button_Open);
  const bool gaveUp = restarts_.gaveUp;
  if (outermost) restarts_ = HandshakeRestarts{};
  return !gaveUp;
}

}  // namespace mx
