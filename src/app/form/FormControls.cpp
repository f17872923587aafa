#include "app/form/FormControls.h"

namespace mx {

namespace {

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

FormControls::FormControls(FormView& view) : view_(view) {
  for (const auto& designed : kDesignedControls) {
    ControlState& state = Mutable(designed.control);
    state.caption = designed.caption;
    state.enabled = designed.enabled;
    state.visible = designed.visible;
    state.checked = designed.checked;
  }
}

void FormControls::SetCaption(Control control, std::string caption) {
  ControlState& state = Mutable(control);
  if (state.caption == caption) return;
  state.caption = std::move(caption);
  view_.ControlChanged(control);
}

void FormControls::SetEnabled(Control control, bool enabled) {
  ControlState& state = Mutable(control);
  if (state.enabled == enabled) return;
  state.enabled = enabled;
  view_.ControlChanged(control);
}

void FormControls::SetVisible(Control control, bool visible) {
  ControlState& state = Mutable(control);
  if (state.visible == visible) return;
  state.visible = visible;
  view_.ControlChanged(control);
}

bool FormControls::SetChecked(Control control, bool checked) {
  ControlState& state = Mutable(control);
  if (state.checked == checked) return false;
  state.checked = checked;
  view_.ControlChanged(control);
  return true;
}

void FormControls::StartAnimation() {
  ControlState& state = Mutable(Control::Animate1);
  state.visible = true;
  state.checked = true;
  view_.ControlChanged(Control::Animate1);
}

void FormControls::StopAnimation() {
  ControlState& state = Mutable(Control::Animate1);
  state.visible = false;
  state.checked = false;
  view_.ControlChanged(Control::Animate1);
}

void FormControls::MemoAppend(const std::string& line) {
  memoText_ += line;
  view_.MemoAppended(line);
}

void FormControls::MemoReplace(std::string text) {
  memoText_ = std::move(text);
  view_.MemoReset();
}

void FormControls::SetMemoReadOnly(bool readOnly) {
  if (memoReadOnly_ == readOnly) return;
  memoReadOnly_ = readOnly;
  view_.MemoReset();
}

void FormControls::SetMemoFontPoints(int points) {
  if (memoFontPoints_ == points) return;
  memoFontPoints_ = points;
  view_.MemoReset();
}

void FormControls::SetProgressPosition(int position) {
  progressPosition_ = position;
  view_.ProgressChanged();
}

void FormControls::SetProgressMax(int maximum) {
  progressMax_ = maximum;
  view_.ProgressChanged();
}

void FormControls::SetPortItems(std::vector<std::string> items) {
  portItems_ = std::move(items);
  view_.ControlChanged(Control::ComboBox1);
}

}  // namespace mx
