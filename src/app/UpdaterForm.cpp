#include "app/UpdaterForm.h"

#include <stdexcept>

#include "app/HostSystem.h"
#include "app/PrivateProfile.h"

namespace mx {

namespace {

constexpr const char* kSettingsFileName = "Comport.ini";
constexpr const char* kSettingsSection = "ComPort";

struct DesignedControl {
  Control control;
  const char* caption;
  bool enabled;
  bool visible;
  bool checked;
};

// The controls as the window is designed, before start-up changes them.
constexpr DesignedControl kDesignedControls[] = {
    {Control::Window, "Mx7410 Bootloader System", true, true, false},
    {Control::LaTitle, "Mx7410 Bootloader System(2012.11)", true, true, false},
    {Control::CBShowmag, "Show Message", true, true, false},
    {Control::TestData_CB, "Code Report ", true, true, false},
    {Control::Button_Open, "Connect", true, true, false},
    {Control::BtnFileOpen, "Update", false, true, false},
    {Control::BtnRestore, "Restore", false, true, false},
    {Control::BtnClearMemo, "Clear Memo", true, true, false},
    {Control::Button_Send, "Send", false, false, false},
    {Control::BtnErase, "Erase", false, false, false},
    {Control::Label11, "", true, true, false},
    {Control::Portlb, "Port:", true, true, false},
    {Control::ComboBox1, "", true, true, false},
    {Control::cbAuto_select, "Auto select comport", true, true, true},
    {Control::BtnHelp, "Help", true, true, false},
    {Control::Set_Bootloader, "Set_Bootloader", true, false, false},
    {Control::EditXoff, "}", true, false, false},
    {Control::EditXon, "~", true, false, false},
    {Control::Label3, "XoffChar", true, false, false},
    {Control::Label4, "XonChar", true, false, false},
    {Control::Label5, " ", true, false, false},
    {Control::Label6, " ", true, false, false},
    {Control::Panel8, "", true, false, false},
    {Control::Label12, "Message", true, true, false},
    {Control::Memo, "", true, true, false},
    {Control::Label10, "Waiting Time", true, false, false},
    {Control::Label8, "Sec", true, false, false},
    {Control::ComboBoxwWait, "3", true, false, false},
    {Control::Label_Percent, "0%", true, true, false},
    {Control::LabelTimeout, "Time Out!", true, true, false},
    {Control::Label7, "Program Stop", true, true, false},
    {Control::Label1, "", true, true, false},
    {Control::ProgressBar1, "", true, true, false},
    {Control::Animate1, "", true, false, false},
    {Control::SetBootloader1, "Update Wizard", true, true, false},
    {Control::DisConnect1, "DisConnect", false, true, false},
    {Control::Restore1, "Restore", true, true, false},
};

}  // namespace

UpdaterForm::UpdaterForm(EventLoop& loop, FormView& view, FormServices services)
    : loop_(loop), view_(view), services_(std::move(services)), comm_(loop) {
  if (!services_.listSerialPorts) services_.listSerialPorts = ListSerialPortNames;
  if (!services_.portDevicePath) services_.portDevicePath = PortDevicePath;
  if (!services_.killProcessByName) services_.killProcessByName = mx::KillProcessByName;
  InitialiseDesignedState();
  ConfigureComm();
}

UpdaterForm::~UpdaterForm() {
  comm_.OnReceiveData = nullptr;
  comm_.OnRequestHangup = nullptr;
  comm_.CloseComm();
}

void UpdaterForm::InitialiseDesignedState() {
  for (const auto& designed : kDesignedControls) {
    ControlState& state = Mutable(designed.control);
    state.caption = designed.caption;
    state.enabled = designed.enabled;
    state.visible = designed.visible;
    state.checked = designed.checked;
  }
}

// The port settings of the window's serial component: 38400 baud, 8N1,
// XON/XOFF both ways, DTR and RTS raised, chunks ending after 100 ms of
// silence. The XON/XOFF characters are set again at start-up.
void UpdaterForm::ConfigureComm() {
  comm_.SetCommName("COM4");
  comm_.SetXonChar('}');
  comm_.SetXoffChar('~');
  comm_.OnReceiveData = [this](TComm& sender, const std::uint8_t* buffer, std::uint16_t length) {
    Comm1ReceiveData(sender, buffer, length);
  };
  comm_.OnRequestHangup = [this](TComm&) { Comm1RequestHangup(); };
}

// ---- control state ---------------------------------------------------------

void UpdaterForm::SetCaption(Control control, std::string caption) {
  ControlState& state = Mutable(control);
  if (state.caption == caption) return;
  state.caption = std::move(caption);
  view_.ControlChanged(control);
}

void UpdaterForm::SetEnabled(Control control, bool enabled) {
  ControlState& state = Mutable(control);
  if (state.enabled == enabled) return;
  state.enabled = enabled;
  view_.ControlChanged(control);
}

void UpdaterForm::SetVisible(Control control, bool visible) {
  ControlState& state = Mutable(control);
  if (state.visible == visible) return;
  state.visible = visible;
  view_.ControlChanged(control);
}

void UpdaterForm::StartAnimation() {
  ControlState& state = Mutable(Control::Animate1);
  state.visible = true;
  state.checked = true;
  view_.ControlChanged(Control::Animate1);
}

void UpdaterForm::StopAnimation() {
  ControlState& state = Mutable(Control::Animate1);
  state.visible = false;
  state.checked = false;
  view_.ControlChanged(Control::Animate1);
}

void UpdaterForm::MemoAppend(const std::string& line) {
  memoText_ += line;
  view_.MemoAppended(line);
}

void UpdaterForm::MemoReplace(std::string text) {
  memoText_ = std::move(text);
  view_.MemoReset();
}

void UpdaterForm::SetMemoReadOnly(bool readOnly) {
  if (memoReadOnly_ == readOnly) return;
  memoReadOnly_ = readOnly;
  view_.MemoReset();
}

void UpdaterForm::SetMemoFontPoints(int points) {
  if (memoFontPoints_ == points) return;
  memoFontPoints_ = points;
  view_.MemoReset();
}

void UpdaterForm::SetProgressPosition(int position) {
  progressPosition_ = position;
  view_.ProgressChanged();
}

void UpdaterForm::SetProgressMax(int maximum) {
  progressMax_ = maximum;
  view_.ProgressChanged();
}

void UpdaterForm::ShowError(const std::string& text) {
  view_.Beep();
  view_.ShowMessage(text);
}

// ---- input -----------------------------------------------------------------

void UpdaterForm::Click(Control control) {
  const ControlState& state = State(control);
  if (!state.enabled || !state.visible) return;
  ClickInCode(control);
}

void UpdaterForm::ClickInCode(Control control) {
  // Errors that escape a handler end at the edge of the user's action, shown
  // in a message box; the silent abort is not shown.
  try {
    switch (control) {
      case Control::Button_Open:
        Button_OpenClick();
        break;
      case Control::BtnFileOpen:
        BtnFileOpenClick();
        break;
      case Control::BtnRestore:
        BtnRestoreClick();
        break;
      case Control::BtnClearMemo:
        BtnClearMemoClick();
        break;
      case Control::Button_Send:
        Button_SendClick();
        break;
      case Control::BtnErase:
        BtnEraseClick();
        break;
      case Control::BtnHelp:
        BtnHelpClick();
        break;
      case Control::Set_Bootloader:
        Set_BootloaderClick();
        break;
      case Control::SetBootloader1:
        SetBootloader1Click();
        break;
      case Control::DisConnect1:
        DisConnect1Click();
        break;
      case Control::Restore1:
        Restore1Click();
        break;
      default:
        break;
    }
  } catch (const OperationAborted&) {
  } catch (const std::exception& error) {
    view_.ShowMessage(error.what());
  }
}

void UpdaterForm::SetCheckedByUser(Control control, bool checked) {
  if (!State(control).enabled) return;
  try {
    SetChecked(control, checked);
  } catch (const OperationAborted&) {
  } catch (const std::exception& error) {
    view_.ShowMessage(error.what());
  }
}

void UpdaterForm::SetChecked(Control control, bool checked) {
  ControlState& state = Mutable(control);
  if (state.checked == checked) return;
  state.checked = checked;
  view_.ControlChanged(control);
  RunCheckBoxHandler(control);
}

void UpdaterForm::RunCheckBoxHandler(Control control) {
  switch (control) {
    case Control::CBShowmag:
      CBShowmagClick();
      break;
    case Control::TestData_CB:
      TestData_CBClick();
      break;
    default:
      break;  // "Auto select comport" is read at the next connect
  }
}

void UpdaterForm::SetTextByUser(Control control, std::string text) {
  Mutable(control).caption = std::move(text);
  switch (control) {
    case Control::ComboBox1:
      ComboBox1Change();
      break;
    case Control::EditXoff:
      EditXoffChange();
      break;
    case Control::EditXon:
      EditXonChange();
      break;
    default:
      break;  // ComboBoxwWait is read at the next wait
  }
}

void UpdaterForm::SetMemoTextByUser(std::string text) {
  if (memoReadOnly_) return;
  memoText_ = std::move(text);
}

// ---- start-up and settings -------------------------------------------------

std::string UpdaterForm::SettingsPath() const {
  if (!services_.settingsDirectory) return {};
  return *services_.settingsDirectory + kSettingsFileName;
}

void UpdaterForm::StoreSetting(const std::string& key, const std::string& value) {
  const std::string path = SettingsPath();
  if (path.empty()) return;  // a front end without a settings file stores nothing
  if (!WriteProfileString(kSettingsSection, key, value, path)) {
    throw std::runtime_error("Unable to write to " + path);
  }
}

void UpdaterForm::FormCreate() {
  // The layout starts with the message panel shown; this first check stores nothing.
  inFormCreateStep1_ = true;
  SetChecked(Control::CBShowmag, true);
  inFormCreateStep1_ = false;

  std::string language;
  try {
    std::string showmag;
    const std::string path = SettingsPath();
    if (path.empty()) {
      showmag = services_.showMessages ? "1" : "0";
      language = services_.language;
    } else {
      showmag = ReadProfileString(kSettingsSection, "Showmag", "", path).substr(0, 1);
      language = ReadProfileString(kSettingsSection, "language", "", path);
    }
    if (showmag.empty()) {
      showmag = "0";
      StoreSetting("Showmag", "0");
    }
    if (language.empty()) {
      language = "ENG";
      StoreSetting("language", "ENG");
    }
    SetChecked(Control::CBShowmag, showmag == "1");
  } catch (const std::exception& error) {
    // A settings file that cannot be written ends start-up here: the window
    // opens with its designed captions.
    view_.ShowMessage(error.what());
    return;
  }

  try {
    SetCaption(Control::ComboBox1, ListSerialPorts());
  } catch (const OperationAborted&) {
    // No serial port: the captions and XON/XOFF characters are still set.
  }
  SetCaption(Control::Label7, "");
  SetCaption(Control::LabelTimeout, "");
  EditXoffChange();
  EditXonChange();
  language_ = LanguageFromSetting(language);
  texts_ = TextsFor(language_);
  ApplyLanguageTexts();
}

void UpdaterForm::ApplyLanguageTexts() {
  SetCaption(Control::Button_Open, texts_.ConnectCaption);
  SetCaption(Control::BtnFileOpen, texts_.UpdateCaption);
  SetCaption(Control::BtnRestore, texts_.RestoreCaption);
  SetCaption(Control::BtnClearMemo, texts_.ClearMemoCaption);
  SetCaption(Control::Portlb, texts_.PortCaption);
  SetCaption(Control::BtnHelp, texts_.HelpCaption);
  SetCaption(Control::CBShowmag, texts_.ShowMessageCaption);
  SetCaption(Control::LaTitle, texts_.TitleText);
  SetCaption(Control::cbAuto_select, texts_.AutoSelectCaption);
  SetCaption(Control::Set_Bootloader, texts_.WizardCaption);
  SetCaption(Control::SetBootloader1, texts_.WizardCaption);
  SetCaption(Control::DisConnect1, texts_.DisconnectCaption);
  SetCaption(Control::TestData_CB, texts_.CodeReportCaption);
  SetCaption(Control::Restore1, texts_.RestoreCaption);
  SetCaption(Control::Window, texts_.TitleText);
}

void UpdaterForm::CBShowmagClick() {
  const bool shown = State(Control::CBShowmag).checked;
  SetVisible(Control::Panel8, shown);
  view_.MessagePanelToggled(shown);
  if (!inFormCreateStep1_) StoreSetting("Showmag", shown ? "1" : "0");
}

// ---- options, memo, close guard, help -------------------------------------

void UpdaterForm::TestData_CBClick() {
  const bool checked = State(Control::TestData_CB).checked;
  SetConnectState(checked);
  SetMemoFontPoints(checked ? 10 : 12);
}

void UpdaterForm::BtnClearMemoClick() { MemoReplace(""); }

void UpdaterForm::ChangeSerialChar(Control edit, Control codeLabel, void (TComm::*setter)(char)) {
  const std::string& text = State(edit).caption;
  if (text.empty()) return;  // nothing typed: keep the current character
  (comm_.*setter)(text.front());
  SetCaption(codeLabel, std::to_string(static_cast<unsigned char>(text.front())));
}

void UpdaterForm::EditXoffChange() { ChangeSerialChar(Control::EditXoff, Control::Label5, &TComm::SetXoffChar); }

void UpdaterForm::EditXonChange() { ChangeSerialChar(Control::EditXon, Control::Label6, &TComm::SetXonChar); }

void UpdaterForm::FormCloseQuery(bool& CanClose) {
  if (updating_) {
    SetCaption(Control::Label11, "Mx7410 is Updatting can not stop system");
    CanClose = false;
    return;
  }
  CanClose = ConfirmDisconnect();
}

void UpdaterForm::BtnHelpClick() { view_.ShowHelp(); }

}  // namespace mx
