#include "TerminalView.h"

#include <ostream>

#include "app/UpdaterForm.h"

namespace mx::flash {

namespace {

constexpr std::string_view kClearLine = "\r\x1b[K";

// Calls `line` for each line of `text`; lines end with CR LF, CR or LF, and
// an unterminated rest counts as a line.
template <typename LineFunction>
void ForEachLine(std::string_view text, LineFunction line) {
  while (!text.empty()) {
    const std::size_t end = text.find_first_of("\r\n");
    line(text.substr(0, end));
    if (end == std::string_view::npos) return;
    std::size_t next = end + 1;
    if (text[end] == '\r' && next < text.size() && text[next] == '\n') ++next;
    text.remove_prefix(next);
  }
}

}  // namespace

TerminalView::TerminalView(std::ostream& out, std::ostream& err, TerminalSettings settings)
    : out_(out), err_(err), settings_(std::move(settings)), progress_(settings_.cumulativeRecordBytes) {}

void TerminalView::ControlChanged(Control control) {
  // The wizard counts the seconds it has waited for the device in Label1.
  if (control == Control::Label1 && form_ != nullptr && form_->WizardWaiting() && !settings_.quiet) {
    DrawTransient(form_->State(Control::Label1).caption);
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
  const std::string& text = form_->MemoText();
  if (text == memoShown_) return;
  const std::string_view added =
      std::string_view(text).starts_with(memoShown_) ? std::string_view(text).substr(memoShown_.size()) : text;
  if (!settings_.quiet) PrintMemoText(added);
  memoShown_ = text;
}

void TerminalView::ProgressChanged() {
  if (form_ == nullptr || settings_.quiet || !settings_.errorIsTerminal) return;
  const int position = form_->ProgressPosition();
  const std::optional<ProgressSample> sample =
      progress_.Update(position, form_->ProgressMax(), ProgressTracker::Clock::now());
  // The run sets the bar to 0 before it reads the file; draw from the first record on.
  if (!sample || (position <= 0 && !progressDrawn_)) return;
  DrawTransient(FormatProgressLine(*sample, settings_.columns));
  progressDrawn_ = true;
}

// A message box closes what the terminal showed in passing.
void TerminalView::ShowMessage(std::string_view text) {
  EndTransientLine();
  PrintMemoText(text);
}

bool TerminalView::Confirm(std::string_view, ConfirmButtons) {
  ++confirmations_;
  return true;
}

std::optional<std::string> TerminalView::ChooseFile(std::string_view) {
  ++filesChosen_;
  return settings_.file;
}

void TerminalView::Beep() {
  if (settings_.errorIsTerminal && !settings_.quiet) err_ << '\a' << std::flush;
}

void TerminalView::PrintResultLine(std::string_view line) { PrintOutputLine(line); }

void TerminalView::PrintNote(std::string_view note) {
  const bool redraw = !transient_.empty();
  if (redraw) err_ << kClearLine;
  err_ << "mx7410-flash: " << note << '\n';
  if (redraw) err_ << '\r' << transient_ << "\x1b[K";
  err_ << std::flush;
}

void TerminalView::EndTransientLine() {
  if (!transient_.empty()) err_ << kClearLine << std::flush;
  transient_.clear();
  progressDrawn_ = false;
}

void TerminalView::Flush() {
  out_.flush();
  err_.flush();
}

void TerminalView::PrintMemoText(std::string_view text) {
  ForEachLine(text, [this](std::string_view line) { PrintOutputLine(line); });
}

void TerminalView::PrintOutputLine(std::string_view line) {
  // Both streams on one terminal: lift the transient line off, print, put it back.
  const bool redraw = settings_.outputIsTerminal && !transient_.empty();
  if (redraw) err_ << kClearLine << std::flush;
  out_ << line << '\n' << std::flush;
  if (redraw) err_ << '\r' << transient_ << "\x1b[K" << std::flush;
}

void TerminalView::DrawTransient(std::string line) {
  if (!settings_.errorIsTerminal) return;
  transient_ = std::move(line);
  err_ << '\r' << transient_ << "\x1b[K" << std::flush;
}

}  // namespace mx::flash
