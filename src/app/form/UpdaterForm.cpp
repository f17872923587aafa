// Start-up, settings, the options, the close guard, and how input from a
// view reaches the handlers.

#include "app/form/UpdaterForm.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "app/HostSystem.h"
#include "protocol/ReplyParser.h"
#include "trust/TrustedFiles.h"

namespace mx {

namespace {

// The port settings of the window's serial component: 38400 baud, 8N1,
// XON/XOFF both ways, DTR and RTS raised, chunks ending after 100 ms of
// silence (the component's defaults). The XON/XOFF characters are set again
// at start-up.
void ConfigureComm(TComm& comm) {
  comm.SetCommName("COM4");
  comm.SetXonChar('}');
  comm.SetXoffChar('~');
}

void ApplyLanguageTexts(FormControls& controls, const LanguageTexts& texts) {
  const std::pair<Control, const std::string*> captions[] = {
      {Control::Button_Open, &texts.ConnectCaption},
      {Control::BtnFileOpen, &texts.UpdateCaption},
      {Control::BtnRestore, &texts.RestoreCaption},
      {Control::BtnClearMemo, &texts.ClearMemoCaption},
      {Control::Portlb, &texts.PortCaption},
      {Control::BtnHelp, &texts.HelpCaption},
      {Control::CBShowmag, &texts.ShowMessageCaption},
      {Control::LaTitle, &texts.TitleText},
      {Control::cbAuto_select, &texts.AutoSelectCaption},
      {Control::Set_Bootloader, &texts.WizardCaption},
      {Control::SetBootloader1, &texts.WizardCaption},
      {Control::DisConnect1, &texts.DisconnectCaption},
      {Control::TestData_CB, &texts.CodeReportCaption},
      {Control::Restore1, &texts.RestoreCaption},
      {Control::Window, &texts.TitleText},
  };
  for (const auto& [control, caption] : captions) controls.SetCaption(control, *caption);
}

// Sets the serial character from the edit field's first character and shows
// its code; an empty field keeps the current character.
void ChangeSerialChar(FormControls& controls, TComm& comm, Control edit, Control codeLabel,
                      void (TComm::*setter)(char)) {
  const std::string& text = controls.Caption(edit);
  if (text.empty()) return;
  (comm.*setter)(text.front());
  controls.SetCaption(codeLabel, std::to_string(static_cast<unsigned char>(text.front())));
}

}  // namespace

UpdaterForm::UpdaterForm(EventLoop& loop, FormView& view, FormServices services)
    : view_(view),
      services_(std::move(services)),
      controls_(view),
      settings_(services_.settingsDirectory),
      receive_(controls_, state_, outcome_, [this]() -> const LanguageTexts& { return Texts(); }),
      actions_(loop, *this) {
  if (!services_.listSerialPorts) services_.listSerialPorts = ListSerialPortNames;
  if (!services_.portDevicePath) services_.portDevicePath = PortDevicePath;
  if (!services_.killProcessByName) services_.killProcessByName = EndThisProcess;
  if (!services_.trustedKeysFolder) services_.trustedKeysFolder = ExecutableDirectory() + trust::kTrustedKeysFolder;
  language_.texts = &TextsFor(Language::None);
  ConfigureComm(actions_.Port());
}

UpdaterForm::~UpdaterForm() = default;

// ---- input -----------------------------------------------------------------

void UpdaterForm::Click(Control control) {
  const ControlState& state = State(control);
  if (!state.enabled || !state.visible) return;
  ClickInCode(control);
}

void UpdaterForm::ClickInCode(Control control) {
  static const std::pair<Control, void (UpdaterForm::*)()> kHandlers[] = {
      {Control::Button_Open, &UpdaterForm::Button_OpenClick},
      {Control::BtnFileOpen, &UpdaterForm::BtnFileOpenClick},
      {Control::BtnRestore, &UpdaterForm::BtnRestoreClick},
      {Control::BtnClearMemo, &UpdaterForm::BtnClearMemoClick},
      {Control::Button_Send, &UpdaterForm::Button_SendClick},
      {Control::BtnErase, &UpdaterForm::BtnEraseClick},
      {Control::BtnHelp, &UpdaterForm::BtnHelpClick},
      {Control::Set_Bootloader, &UpdaterForm::Set_BootloaderClick},
      {Control::SetBootloader1, &UpdaterForm::SetBootloader1Click},
      {Control::DisConnect1, &UpdaterForm::DisConnect1Click},
      {Control::Restore1, &UpdaterForm::Restore1Click},
  };
  // Errors that escape a handler end at the edge of the user's action, shown
  // in a message box; the silent abort is not shown.
  try {
    for (const auto& [clicked, handler] : kHandlers) {
      if (clicked == control) return (this->*handler)();
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
  if (!controls_.SetChecked(control, checked)) return;
  if (control == Control::CBShowmag) CBShowmagClick();
  if (control == Control::TestData_CB) TestData_CBClick();
  // "Auto select comport" is read at the next connect.
}

void UpdaterForm::SetTextByUser(Control control, std::string text) {
  controls_.TakeTextFromUser(control, std::move(text));
  if (control == Control::ComboBox1) ComboBox1Change();
  if (control == Control::EditXoff) EditXoffChange();
  if (control == Control::EditXon) EditXonChange();
  // ComboBoxwWait is read at the next wait.
}

void UpdaterForm::SetMemoTextByUser(std::string text) {
  if (!controls_.MemoReadOnly()) controls_.TakeMemoTextFromUser(std::move(text));
}

// ---- start-up and settings -------------------------------------------------

void UpdaterForm::FormCreate() {
  // The layout starts with the message panel shown; this first check stores nothing.
  inFormCreateStep1_ = true;
  SetChecked(Control::CBShowmag, true);
  inFormCreateStep1_ = false;

  std::string language;
  try {
    std::string showmag;
    if (settings_.HasFile()) {
      showmag = settings_.Read("Showmag").substr(0, 1);
      language = settings_.Read("language");
    } else {
      showmag = services_.showMessages ? "1" : "0";
      language = services_.language;
    }
    if (showmag.empty()) {
      showmag = "0";
      settings_.Store("Showmag", "0");
    }
    if (language.empty()) {
      language = "ENG";
      settings_.Store("language", "ENG");
    }
    SetChecked(Control::CBShowmag, showmag == "1");
  } catch (const std::exception& error) {
    // A settings file that cannot be written ends start-up here: the window
    // opens with its designed captions.
    view_.ShowMessage(error.what());
    return;
  }

  try {
    controls_.SetCaption(Control::ComboBox1, ListSerialPorts());
  } catch (const OperationAborted&) {
    // No serial port: the captions and XON/XOFF characters are still set.
  }
  controls_.SetCaption(Control::Label7, "");
  controls_.SetCaption(Control::LabelTimeout, "");
  EditXoffChange();
  EditXonChange();
  language_.language = LanguageFromSetting(language);
  language_.texts = &TextsFor(language_.language);
  ApplyLanguageTexts(controls_, *language_.texts);
}

void UpdaterForm::CBShowmagClick() {
  const bool shown = controls_.Checked(Control::CBShowmag);
  controls_.SetVisible(Control::Panel8, shown);
  view_.MessagePanelToggled(shown);
  if (!inFormCreateStep1_) settings_.Store("Showmag", shown ? "1" : "0");
}

// ---- options, memo, close guard, help -------------------------------------

void UpdaterForm::TestData_CBClick() {
  const bool checked = controls_.Checked(Control::TestData_CB);
  SetConnectState(checked);
  controls_.SetMemoFontPoints(checked ? 10 : 12);
}

void UpdaterForm::BtnClearMemoClick() { controls_.MemoReplace(""); }

void UpdaterForm::EditXoffChange() {
  ChangeSerialChar(controls_, actions_.Port(), Control::EditXoff, Control::Label5, &TComm::SetXoffChar);
}

void UpdaterForm::EditXonChange() {
  ChangeSerialChar(controls_, actions_.Port(), Control::EditXon, Control::Label6, &TComm::SetXonChar);
}

void UpdaterForm::FormCloseQuery(bool& CanClose) {
  if (state_.updating) {
    controls_.SetCaption(Control::Label11, "Mx7410 is Updatting can not stop system");
    CanClose = false;
    return;
  }
  CanClose = ConfirmDisconnect();
}

void UpdaterForm::BtnHelpClick() { view_.ShowHelp(); }

// ---- how actions end --------------------------------------------------------

void UpdaterForm::ReportFailure(ActionResult result, const std::string& reason, FailureNotice notice) {
  const bool failedAlready = outcome_.result != ActionResult::None && outcome_.result != ActionResult::Success;
  if (!failedAlready) {
    outcome_.result = result;
    outcome_.reason = reason;
  }
  if (notice == FailureNotice::BeepAndMessage) view_.Beep();
  if (notice != FailureNotice::None) view_.ShowMessage(reason);
}

void UpdaterForm::ReportSuccess() {
  outcome_.result = ActionResult::Success;
  outcome_.reason.clear();
}

bool EndThisProcess(const std::string&) {
  std::fflush(nullptr);
  std::_Exit(1);
}

std::chrono::duration<double> ReplyTimeout(const FormControls& controls) {
  return std::chrono::duration<double>(DigitsToInt(controls.Caption(Control::ComboBoxwWait)));
}

}  // namespace mx
