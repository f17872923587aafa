#pragma once

// The window's view for a terminal. What the window would show as text goes
// to standard output: the memo's lines, the message boxes and the status
// lines a run ends with. Transient things (the progress bar, the wizard's
// waiting counter) go where the output puts them. Dialogs are answered from
// the command line: the file is the one named there, and a confirmation is
// answered Yes, the command being the user's confirmation. Runs on the form's
// thread only.

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

#include "ProgressBar.h"
#include "app/form/FormView.h"

namespace mx {
class UpdaterForm;
}

namespace mx::flash {

// Where a terminal view's text goes: the standard streams of a run alone, or
// one port's share of them when several run at once.
class TerminalOutput {
 public:
  virtual ~TerminalOutput() = default;
  virtual void Line(std::string_view line) = 0;  // a line of standard output
  virtual void Note(std::string_view note) = 0;  // the program's own remark, for standard error
  virtual void Progress(const ProgressSample& sample) = 0;
  virtual void Waiting(std::string_view text) = 0;  // the wizard's waiting counter
  virtual void EndTransient() = 0;                  // the progress or the counter is over
  virtual void Beep() = 0;
  virtual void Flush() = 0;
};

struct StreamSettings {
  bool quiet = false;             // no progress bar, counter or beep
  bool outputIsTerminal = false;  // standard output
  bool errorIsTerminal = false;   // standard error: transient lines are drawn only then
  int columns = 80;
  // The terminal takes "\x1b[K" to clear to the line's end; without it a
  // transient line is overwritten with spaces (an old Windows console).
  bool controlSequences = true;
};

// A run alone: the progress bar and the counter are drawn in place on
// standard error while it is a terminal, and lifted off for every line of
// standard output that shares the terminal.
class StreamOutput final : public TerminalOutput {
 public:
  StreamOutput(std::ostream& out, std::ostream& err, StreamSettings settings);

  void Line(std::string_view line) override;
  void Note(std::string_view note) override;
  void Progress(const ProgressSample& sample) override;
  void Waiting(std::string_view text) override;
  void EndTransient() override;
  void Beep() override;
  void Flush() override;

 private:
  void DrawTransient(std::string line);
  std::string Erased() const;
  std::string Drawn(int shownWidth) const;

  std::ostream& out_;
  std::ostream& err_;
  StreamSettings settings_;
  std::string transient_;  // the transient line on standard error, empty when none
};

struct TerminalSettings {
  bool quiet = false;  // only message texts and results on standard output
  std::string file;    // the answer to the file dialog (absolute)
};

class TerminalView final : public FormView {
 public:
  TerminalView(TerminalOutput& output, TerminalSettings settings);

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
  void PrintResultLine(std::string_view line) { output_.Line(line); }
  // A remark of the program itself on standard error.
  void PrintNote(std::string_view note) { output_.Note(note); }
  // Removes the progress bar or waiting counter.
  void EndTransientLine() { output_.EndTransient(); }
  void Flush() { output_.Flush(); }

 private:
  void PrintMemoText(std::string_view text);

  TerminalOutput& output_;
  TerminalSettings settings_;
  const UpdaterForm* form_ = nullptr;
  ProgressTracker progress_;
  std::string memoShown_;  // the memo's text as far as it has been printed
};

}  // namespace mx::flash
