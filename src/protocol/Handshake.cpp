// The Connect button: toggles the port, and on connect greets the bootloader
// with "re" and a version request and waits for its version reply.

#include "app/UpdaterForm.h"
#include "protocol/Frames.h"

namespace mx {

namespace {

// The receive log of a device that answers the version request with two
// frames in one burst (version 1.1, then 55 55 01 01 FE 04): a sign that it
// has to be greeted again.
constexpr std::string_view kRestartPattern = "85,85,1,0,1,1,253,4,85,85,1,1,254,4,";

// Where the logged bytes start in a memo whose first line is a receive log
// line: after "Command Received:" (17 characters), or after the Chinese
// prefix and its colon.
constexpr std::size_t kEnglishLogBytesStart = 17;

}  // namespace

bool UpdaterForm::RestartPatternInMemo() const {
  const std::size_t start =
      language_ == Language::Chinese ? texts_.CommandReceivedText.size() + 1 : kEnglishLogBytesStart;
  if (memoText_.size() < start) return false;
  return std::string_view(memoText_).substr(start, kRestartPattern.size()) == kRestartPattern;
}

void UpdaterForm::Button_OpenClick() {
  try {
    SetMemoReadOnly(false);
    if (!memoText_.empty()) MemoReplace("");
    receiver_.rxLogCount = 0;
    receiver_.oldVersionHex.clear();
    receiver_.restorePointHex.clear();
    if (connected_) {
      SetConnectState(false);
      SetCaption(Control::Label1, "");
      SetMemoReadOnly(true);
      return;
    }
    if (!RunHandshake()) return;
    ArmReceiver();
    SetMemoReadOnly(true);
  } catch (const std::exception& error) {
    // A fault outside the handshake itself leaves the program in no state to
    // go on: it ends every running copy of itself.
    view_.Beep();
    view_.ShowMessage(std::string(error.what()) + ",Connect error program will stop!");
    services_.killProcessByName(services_.ownExecutableName);
  }
}

// Opens the port and greets the bootloader. True when the handshake has
// succeeded or "Code Report" only wanted the port open; false when it failed
// and the port is closed again.
bool UpdaterForm::RunHandshake() {
  lastResult_ = ActionResult::None;
  try {
    SetConnectState(true);
    if (State(Control::TestData_CB).checked) return true;
    ArmReceiver();
    comm_.SendData(kWakeText.data(), kWakeText.size());
    if (!comm_.SendData(kVersionFrame.data(), kVersionFrame.size())) MemoAppend("Fail to Send!\r\n");
    WaitForReply();
    if (RestartPatternInMemo()) {
      if (!StartHandshakeOver()) return false;
    }
    if (portLost_) return false;  // the hang-up has said so and closed the port
    if (replyWord_ != "VerOK") {
      if (lastResult_ != ActionResult::PortFailed) lastResult_ = ActionResult::DeviceFailed;
      view_.ShowMessage(texts_.ConnectFailText);
      SetConnectState(false);
      return false;
    }
    lastResult_ = ActionResult::Success;
    return true;
  } catch (const std::exception& error) {
    lastResult_ = ActionResult::DeviceFailed;
    view_.ShowMessage(std::string(error.what()) + ",(" + texts_.NotConnectedText + ")");
    SetConnectState(false);
    return false;
  }
}

// Disconnects, empties the memo and connects afresh; the caller then goes on
// with the reply word the fresh connect left. After kMaxHandshakeRestarts in a
// row the device is taken as failing: one message, port closed, and every
// connect still on the stack ends quietly (returns false).
bool UpdaterForm::StartHandshakeOver() {
  if (handshakeRestarts_ == kMaxHandshakeRestarts) {
    handshakeGaveUp_ = true;
    lastResult_ = ActionResult::DeviceFailed;
    view_.ShowMessage(texts_.ConnectFailText);
    SetConnectState(false);
    return false;
  }
  const bool outermost = handshakeRestarts_ == 0;
  ++handshakeRestarts_;
  ClickInCode(Control::Button_Open);
  MemoReplace("");
  ClickInCode(Control::Button_Open);
  const bool gaveUp = handshakeGaveUp_;
  if (outermost) {
    handshakeRestarts_ = 0;
    handshakeGaveUp_ = false;
  }
  return !gaveUp;
}

}  // namespace mx
