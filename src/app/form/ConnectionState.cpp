// Port discovery and the connected and disconnected states of the window.
// Every part of the program opens and closes the port through
// SetConnectState, which also sets the controls of the new state.

#include "app/ActionTexts.h"
#include "app/form/UpdaterForm.h"

namespace mx {

namespace {

constexpr const char* kConfirmDisconnectText = "Will Stop Bootloader，Stop!";

// The controls that follow the connection: enabled while connected, or
// enabled while disconnected. Update and Restore wait for the bootloader's
// answer (EnableDeviceActions).
constexpr Control kDeviceActions[] = {Control::BtnRestore, Control::BtnFileOpen};
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
    actions_.Close();  // after what is queued has left the port; no click runs meanwhile
    controls_.SetCaption(Control::Button_Open, Texts().ConnectCaption);
    state_.portClosed = true;
    controls_.SetEnabled(Control::DisConnect1, false);
    for (const Control control : kDeviceActions) controls_.SetEnabled(control, false);
    for (const Control control : kEnabledWhileDisconnected) controls_.SetEnabled(control, true);
    controls_.SetCaption(Control::Set_Bootloader, "Update");
    controls_.SetEnabled(Control::Button_Send, false);
    // Disconnected, Connect is the way on; a running transfer enables it when it ends.
    if (!state_.updating) controls_.SetEnabled(Control::Button_Open, true);
    return;
  }
  try {
    if (controls_.Checked(Control::cbAuto_select)) controls_.SetCaption(Control::ComboBox1, ListSerialPorts());
    controls_.SetCaption(Control::Button_Open, Texts().DisconnectCaption);
    actions_.OpenPort({services_.portDevicePath(controls_.Caption(Control::ComboBox1))});
    state_.portClosed = false;
    for (const Control control : kEnabledWhileDisconnected) controls_.SetEnabled(control, false);
    controls_.SetCaption(Control::Set_Bootloader, "Turn on power");
    controls_.SetEnabled(Control::DisConnect1, true);
    if (controls_.Checked(Control::TestData_CB)) EnableDeviceActions();
  } catch (const std::exception& error) {
    ReportFailure(ActionResult::PortFailed, OpenFailureMessage(error.what()), FailureNotice::Message);
    SetConnectState(false);
    controls_.SetEnabled(Control::BtnErase, false);
  }
}

void UpdaterForm::EnableDeviceActions() {
  for (const Control control : kDeviceActions) controls_.SetEnabled(control, true);
}

void UpdaterForm::Comm1RequestHangup() {
  SetConnectState(false);
  controls_.SetEnabled(Control::Button_Open, true);  // a transfer cut short had disabled it
  ReportFailure(ActionResult::DeviceFailed, Texts().PortLostText, FailureNotice::Message);
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
