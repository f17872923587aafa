#pragma once

// The seam between the window's behaviour (UpdaterForm, standard C++) and a
// screen. The behaviour keeps the state of every control; a view shows it and
// answers the dialogs. The Qt window implements FormView with widgets, the
// command-line tool for a terminal, the tests with scripted answers.

#include <optional>
#include <string>
#include <string_view>

#include "update/Transfer.h"

namespace mx {

// The window's controls, by their designed names.
enum class Control {
  Window,  // caption = window title
  // command panel
  LaTitle,
  CBShowmag,
  TestData_CB,
  Button_Open,
  BtnFileOpen,
  BtnRestore,
  BtnClearMemo,
  Button_Send,
  BtnErase,
  Label11,
  Portlb,
  ComboBox1,
  cbAuto_select,
  BtnHelp,
  Set_Bootloader,
  EditXoff,
  EditXon,
  Label3,
  Label4,
  Label5,
  Label6,
  // message panel
  Panel8,
  Label12,
  Memo,
  // status panel
  Label10,
  Label8,
  ComboBoxwWait,
  Label_Percent,
  LabelTimeout,
  Label7,
  Label1,
  ProgressBar1,
  Animate1,
  // pop-up menu of Button_Open
  SetBootloader1,
  DisConnect1,
  Restore1,
  Count
};

// Designed name of a control ("Button_Open"), for logs and tests.
std::string_view ControlName(Control control);

// The state of one control. `caption` is a button's, label's, check box's or
// menu entry's caption, an edit field's or combo box's text, the window title.
struct ControlState {
  std::string caption;
  bool enabled = true;
  bool visible = true;
  bool checked = false;  // check boxes; for Animate1: running
};

enum class ConfirmButtons { YesCancel, YesNo };

class FormView {
 public:
  virtual ~FormView() = default;

  // Some state of `control` changed; read it back from the form.
  virtual void ControlChanged(Control control) = 0;
  // `line` was appended to the memo's text.
  virtual void MemoAppended(std::string_view line) = 0;
  // The memo's whole text, read-only flag or font size changed.
  virtual void MemoReset() = 0;
  // The caret goes to the memo's last character, which it selects, so that
  // the view follows the end ("Code Report" shows raw text so).
  virtual void MemoSelectLastCharacter() {}
  // The progress bar's position or maximum changed.
  virtual void ProgressChanged() = 0;
  // The transfer reached another data record; a screen that shows bytes and
  // rates reads them here. The window's own bar follows ProgressChanged.
  virtual void TransferProgressed(const TransferProgress&) {}
  // The message panel was shown or hidden (the window grows by 400 pixels or
  // shrinks by the panel's height).
  virtual void MessagePanelToggled(bool shown) = 0;

  // A modal message box with an OK button; returns when it is closed.
  virtual void ShowMessage(std::string_view text) = 0;
  // A modal question; true for Yes.
  virtual bool Confirm(std::string_view text, ConfirmButtons buttons) = 0;
  // The open-file dialog. `filter` is "name|pattern|name|pattern"; returns
  // the full path of the chosen file, nullopt when cancelled.
  virtual std::optional<std::string> ChooseFile(std::string_view filter) = 0;
  // The platform's standard beep.
  virtual void Beep() = 0;
  // Shows the help window modally.
  virtual void ShowHelp() = 0;
};

}  // namespace mx
