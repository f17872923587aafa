// Port discovery and the connected and disconnected states of the window.
// Every part of the program opens and closes the port through
// SetConnectState, which also sets the controls of the new state.

#include "app/form/UpdaterForm.h"

namespace mx {

namespace {

constexpr const char* kNotConnectedSuffix = ",Is not connect Mx7410 !";
constexpr const char* kConfirmDisconnectText = "Will Stop Bootloader，Stop!";

// The controls that follow the connection: enabled while connected, or
// enabled while disconnected.
constexpr Control kEnabledWhileConnected[] = {Control::DisConnect1, Control::BtnRestore, Control::BtnFileOpen};
constexpr Control kEnabledWhileDisconnected[] = {Control::SetBootloader1, Control::Set_Bootloader,
                                                 Control::TestData_CB};

}  // namespace

std::string UpdaterForm::ListSerialPorts() {
  std::vector<std::string> names = services_.listSerialPorts();
  if (names.empty()) throw OperationAborted();
  controls_.SetPortItems(std::move(names));
  return controls_.PortItems().back();
}

void UpdaterForm::SetConnectState(bool connected) {
  state_.connected = connected;
  if (!connected) {
    session_.Close();  // after what is queued has left the port
    controls_.SetCaption(Control::Button_Open, Texts().ConnectCaption);
    state_.portClosed = true;
    for (const Control control : kEnabledWhileConnected) controls_.SetEnabled(control, false);
    for (const Control control : kEnabledWhileDisconnected) controls_.SetEnabled(control, true);
    controls_.SetCaption(Control::Set_Bootloader, "Update");
    controls_.SetEnabled(Control::Button_Send, false);
    return;
  }
  try {
    if (controls_.Checked(Control::cbAuto_select)) controls_.SetCaption(Control::ComboBox1, ListSerialPorts());
    controls_.SetCaption(Control::Button_Open, Texts().DisconnectCaption);
    session_.Open(services_.portDevicePath(controls_.Caption(Control::ComboBox1)));
    state_.portClosed = false;
    for (const Control control : kEnabledWhileDisconnected) controls_.SetEnabled(control, false);
    controls_.SetCaption(Control::Set_Bootloader, "Turn on power");
    for (const Control control : kEnabledWhileConnected) controls_.SetEnabled(control, true);
  } catch (const std::exception& error) {
    outcome_.result = ActionResult::PortFailed;
    outcome_.reason = std::string(error.what()) + kNotConnectedSuffix;
    view_.ShowMessage(outcome_.reason);
    SetConnectState(false);
    controls_.SetEnabled(Control::BtnErase, false);
  }
}

void UpdaterForm::Comm1RequestHangup() {
  outcome_.result = ActionResult::DeviceFailed;
  outcome_.reason = Texts().PortLostText;
  SetConnectState(false);
  controls_.SetEnabled(Control::Button_Open, true);  // a transfer cut short had disabled it
  view_.ShowMessage(Texts().PortLostText);
}

bool UpdaterForm::ConfirmDisconnect() {
  if (!state_.connected) return true;
  if (!view_.Confirm(kConfirmDisconnectText, ConfirmButtons::YesCancel)) return false;
  SetConnectState(false);
  return true;
}

void UpdaterForm::DisConnect1Click() {
  controls_.SetEnabled(Control::BtnFileOpen, false);
  controls_.SetEnabled(Control::BtnErase, false);
  SetConnectState(false);
  controls_.SetEnabled(Control::BtnErase, false);
  controls_.SetEnabled(Control::BtnFileOpen, false);
}

// The text is read at the next connect.
void UpdaterForm::ComboBox1Change() {}

}  // namespace mx
