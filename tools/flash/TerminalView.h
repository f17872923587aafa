#pragma once

// Where a run's text goes on a terminal. What the window would show as text
// goes to standard output: the memo's lines, the message boxes and the
// status lines a run ends with. Transient things (the progress bar, the
// wizard's waiting counter) go where the output puts them.

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

#include "ProgressBar.h"

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
  // The board waits for a serial number while the pool is out of reach
  // (`why`); said once, when the wait starts.
  virtual void WaitingForNumber(std::string_view why) { Note("waiting for the number pool: " + std::string(why)); }
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

}  // namespace mx::flash
