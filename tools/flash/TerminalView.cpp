#include "TerminalView.h"

#include <ostream>

#include "app/form/UpdaterForm.h"
#include "update/HexFile.h"

namespace mx::flash {

namespace {
constexpr std::string_view kClearLine = "\r\x1b[K";
}  // namespace

// ---- StreamOutput ---------------------------------------------------------

StreamOutput::StreamOutput(std::ostream& out, std::ostream& err, StreamSettings settings)
    : out_(out), err_(err), settings_(settings) {}

void StreamOutput::Line(std::string_view line) {
  // Both streams on one terminal: lift the transient line off, print, put it back.
  const bool redraw = settings_.outputIsTerminal && !transient_.empty();
  if (redraw) err_ << kClearLine << std::flush;
  out_ << line << '\n' << std::flush;
  if (redraw) err_ << '\r' << transient_ << "\x1b[K" << std::flush;
}

void StreamOutput::Note(std::string_view note) {
  const bool redraw = !transient_.empty();
  if (redraw) err_ << kClearLine;
  err_ << "mx7410-flash: " << note << '\n';
  if (redraw) err_ << '\r' << transient_ << "\x1b[K";
  err_ << std::flush;
}

void StreamOutput::Progress(const ProgressSample& sample) {
  DrawTransient(FormatProgressLine(sample, settings_.columns));
}

void StreamOutput::Waiting(std::string_view text) { DrawTransient(std::string(text)); }

void StreamOutput::EndTransient() {
  if (!transient_.empty()) err_ << kClearLine << std::flush;
  transient_.clear();
}

void StreamOutput::Beep() {
  if (settings_.errorIsTerminal && !settings_.quiet) err_ << '\a' << std::flush;
}

void StreamOutput::Flush() {
  out_.flush();
  err_.flush();
}

void StreamOutput::DrawTransient(std::string line) {
  if (!settings_.errorIsTerminal || settings_.quiet) return;
  transient_ = std::move(line);
  err_ << '\r' << transient_ << "\x1b[K" << std::flush;
}

// ---- TerminalView ---------------------------------------------------------

TerminalView::TerminalView(TerminalOutput& output, TerminalSettings settings)
    : output_(output), settings_(std::move(settings)) {}

void TerminalView::ControlChanged(Control control) {
  // The wizard counts the seconds it has waited for the device in Label1.
  if (control == Control::Label1 && form_ != nullptr && form_->Flags().wizardWaiting) {
    output_.Waiting(form_->State(Control::Label1).caption);
  }
}

void TerminalView::MemoAppended(std::string_view line) {
  memoShown_ += line;
  if (!settings_.quiet) PrintMemoText(line);
}

// The memo was emptied or replaced (or only its read-only flag or font
// changed): print what is new in it.
void TerminalView::MemoReset() {
  if (form_ == nullptr) return;
  const std::string& text = form_->Controls().MemoText();
  if (text == memoShown_) return;
  const std::string_view added =
      std::string_view(text).starts_with(memoShown_) ? std::string_view(text).substr(memoShown_.size()) : text;
  if (!settings_.quiet) PrintMemoText(added);
  memoShown_ = text;
}

void TerminalView::TransferProgressed(const TransferProgress& progress) {
  if (const std::optional<ProgressSample> sample = progress_.Update(progress, ProgressTracker::Clock::now())) {
    output_.Progress(*sample);
  }
}

// A message box closes what the terminal showed in passing. The box of a
// failed open is the last thing a command shows.
void TerminalView::ShowMessage(std::string_view text) {
  output_.EndTransient();
  PrintMemoText(text);
}

bool TerminalView::Confirm(std::string_view, ConfirmButtons) { return true; }

std::optional<std::string> TerminalView::ChooseFile(std::string_view) { return settings_.file; }

void TerminalView::Beep() { output_.Beep(); }

void TerminalView::PrintMemoText(std::string_view text) {
  for (const std::string& line : SplitLines(text)) output_.Line(line);
}

}  // namespace mx::flash
