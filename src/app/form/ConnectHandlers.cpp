// The Connect button: toggles the port, and on connect has the device
// actions greet the bootloader and shows how that went.

#include "actions/DeviceActions.h"
#include "app/ActionTexts.h"
#include "app/form/UpdaterForm.h"

namespace mx {

void UpdaterForm::Button_OpenClick() {
  try {
    controls_.SetMemoReadOnly(false);
    if (!controls_.MemoText().empty()) controls_.MemoReplace("");
    if (state_.connected) {
      SetConnectState(false);
      controls_.SetCaption(Control::Label1, "");
      controls_.SetMemoReadOnly(true);
      return;
    }
    if (!RunHandshake()) return;
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
// and the port is closed again (the failure has been told).
bool UpdaterForm::RunHandshake() {
  BeginAction(outcome_, Action::Connect);
  try {
    if (controls_.Checked(Control::TestData_CB)) {
      // Its actions are usable at once: nothing is greeted.
      SetConnectState(true);
      return state_.connected || services_.greetUnopenedPort;
    }
    const ConnectResult result = actions_.Connect([this] { return OpenPortForGreeting(); }, ReplyTimeout(controls_));
    if (result.ending != ConnectResult::Ending::Connected) return false;
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

// The port of every greeting opens as the window's: a port that failed to
// open is still greeted, so its user sees the open's message and then the
// connect's, unless the services want the first alone.
bool UpdaterForm::OpenPortForGreeting() {
  SetConnectState(true);
  return state_.connected || services_.greetUnopenedPort;
}

void UpdaterForm::RequestNotQueued() { controls_.MemoAppend(std::string(kFailToSendText) + "\r\n"); }

// Once for every greeting still under way: each says so and disconnects.
void UpdaterForm::GreetingFailed() {
  ReportFailure(ActionResult::DeviceFailed, Texts().ConnectFailText, FailureNotice::Message);
  SetConnectState(false);
}

// The window looks for the device's request to be greeted again in the
// first line of its receive log, so it sees it only where that line shows
// the request's frame with the usual prefix: with "Show Message" on (frames
// are logged), in English or Chinese (without language texts the prefix is
// empty), and outside restore mode (whose caption is another prefix).
bool UpdaterForm::FollowsGreetingRestarts() { return language_.language != Language::None && !state_.restoreMode; }

// A greeting started again is Connect clicked twice with the memo emptied
// in between: disconnect, then the start of a fresh connect.
void UpdaterForm::GreetingRestarts() {
  controls_.SetMemoReadOnly(false);
  if (!controls_.MemoText().empty()) controls_.MemoReplace("");
  SetConnectState(false);
  controls_.SetCaption(Control::Label1, "");
  controls_.SetMemoReadOnly(true);
  controls_.MemoReplace("");
  controls_.SetMemoReadOnly(false);
  if (!controls_.MemoText().empty()) controls_.MemoReplace("");
  BeginAction(outcome_, Action::Connect);
}

}  // namespace mx
