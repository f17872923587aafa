// Port discovery and the connected and disconnected states of the window.
// Every part of the program opens and closes the port through
// SetConnectState, which also sets the controls of the new state.

#include "app/UpdaterForm.h"

namespace mx {

namespace {
constexpr const char* kNotConnectedSuffix = ",Is not connect Mx7410 !";
constexpr const char* kConfirmDisconnectText = "Will Stop Bootloader，Stop!";
}  // namespace

std::string UpdaterForm::ListSerialPorts() {
  std::vector<std::string> names = services_.listSerialPorts();
  if (names.empty()) throw OperationAborted();
  portItems_ = std::move(names);
  view_.ControlChanged(Control::ComboBox1);
  return portItems_.back();
}

void UpdaterForm::SetConnectState(bool connected) {
  connected_ = connected;
  if (!connected) {
    // What is still queued goes out first: a close discards it.
    framesLostAtClose_ = comm_.IsOpen() && !DrainOutput(kDrainLimit);
    comm_.CloseComm();
    SetCaption(Control::Button_Open, texts_.ConnectCaption);
    portClosed_ = true;
    SetEnabled(Control::DisConnect1, false);
    SetEnabled(Control::SetBootloader1, true);
    SetEnabled(Control::Set_Bootloader, true);
    SetEnabled(Control::TestData_CB, true);
    SetCaption(Control::Set_Bootloader, "Update");
    SetEnabled(Control::Button_Send, false);
    SetEnabled(Control::BtnRestore, false);
    SetEnabled(Control::BtnFileOpen, false);
    return;
  }
  try {
    if (State(Control::cbAuto_select).checked) SetCaption(Control::ComboBox1, ListSerialPorts());
    SetCaption(Control::Button_Open, texts_.DisconnectCaption);
    comm_.SetCommName(services_.portDevicePath(State(Control::ComboBox1).caption));
    comm_.OpenComm();
    portClosed_ = false;
    portLost_ = false;
    SetEnabled(Control::DisConnect1, true);
    SetEnabled(Control::SetBootloader1, false);
    SetEnabled(Control::Set_Bootloader, false);
    SetEnabled(Control::TestData_CB, false);
    SetCaption(Control::Set_Bootloader, "Turn on power");
    SetEnabled(Control::BtnRestore, true);
    SetEnabled(Control::BtnFileOpen, true);
  } catch (const std::exception& error) {
    lastResult_ = ActionResult::PortFailed;
    view_.ShowMessage(std::string(error.what()) + kNotConnectedSuffix);
    SetConnectState(false);
    SetEnabled(Control::BtnErase, false);
  }
}

void UpdaterForm::Comm1RequestHangup() {
  if (!comm_.IsOpen() || portLost_) return;
  portLost_ = true;
  lastResult_ = ActionResult::DeviceFailed;
  SetConnectState(false);
  SetEnabled(Control::Button_Open, true);  // a transfer cut short had disabled it
  view_.ShowMessage(texts_.PortLostText);
}

bool UpdaterForm::ConfirmDisconnect() {
  if (!connected_) return true;
  if (!view_.Confirm(kConfirmDisconnectText, ConfirmButtons::YesCancel)) return false;
  SetConnectState(false);
  return true;
}

void UpdaterForm::DisConnect1Click() {
  SetEnabled(Control::BtnFileOpen, false);
  SetEnabled(Control::BtnErase, false);
  SetConnectState(false);
  SetEnabled(Control::BtnErase, false);
  SetEnabled(Control::BtnFileOpen, false);
}

// The text is read at the next connect.
void UpdaterForm::ComboBox1Change() {}

}  // namespace mx
