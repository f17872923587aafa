#pragma once

// The window's view for a terminal. Standard output gets what the window
// would show as text: the memo's lines, the message boxes and the status
// lines a run ends with. Standard error gets the transient things (the
// progress bar, the wizard's waiting counter) while it is a terminal.
// Dialogs are answered from the command line: the file is the one named
// there, and a confirmation is answered Yes, the command being the user's
// confirmation. Runs on the form's thread only.

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ProgressBar.h"
#include "app/form/FormView.h"

namespace mx {
class UpdaterForm;
}

namespace mx::flash {

struct TerminalSettings {
  bool quiet = false;
  bool outputIsTerminal = false;  // standard output
  bool errorIsTerminal = false;   // standard error: transient lines are drawn only then
  int columns = 80;
  std::string file;  // the answer to the file dialog (absolute)
};

class TerminalView final : public FormView {
 public:
  TerminalView(std::ostream& out, std::ostream& err, TerminalSettings settings);

  // The form whose state this view reads; set once, right after the form is made.
  void Attach(const UpdaterForm& form) { form_ = &form; }

  // ---- FormView
  void ControlChanged(Control control) override;
  void MemoAppended(std::string_view line) override;
  void MemoReset() override;
  void ProgressChanged() override {}
  void TransferProgressed(const TransferProgress& progress) override;
  void MessagePanelToggled(bool) override {}
  void ShowMessage(std::string_view text) override;
  bool Confirm(std::string_view text, ConfirmButtons buttons) override;
  std::optional<std::string> ChooseFile(std::string_view filter) override;
  void Beep() override;
  void ShowHelp() override {}

  // ---- For the command runner
  // A line of the program's own result on standard output, also when quiet.
  void PrintResultLine(std::string_view line);
  // A remark of the program itself on standard error.
  void PrintNote(std::string_view note);
  // Removes the progress bar or waiting counter from the terminal.
  void EndTransientLine();
  void Flush();

 private:
  void PrintMemoText(std::string_view text);
  void PrintOutputLine(std::string_view line);
  void DrawTransient(std::string line);

  std::ostream& out_;
  std::ostream& err_;
  TerminalSettings settings_;
  const UpdaterForm* form_ = nullptr;
  ProgressTracker progress_;
  std::string memoShown_;  // the memo's text as far as it has been printed
  std::string transient_;  // the transient line on standard error, empty when none
};

}  // namespace mx::flash
