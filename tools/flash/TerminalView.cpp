#include "TerminalView.h"

#include <algorithm>
#include <ostream>

namespace mx::flash {

namespace {

constexpr std::string_view kClearToLineEnd = "\x1b[K";

// The columns `text` takes on a terminal, near enough for padding: a
// character of three or four UTF-8 bytes (CJK) takes two.
int DisplayWidth(std::string_view text) {
  int width = 0;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80 || (byte >= 0xC0 && byte < 0xE0)) width += 1;
    if (byte >= 0xE0) width += 2;
  }
  return width;
}

}  // namespace

// ---- StreamOutput ---------------------------------------------------------

StreamOutput::StreamOutput(std::ostream& out, std::ostream& err, StreamSettings settings)
    : out_(out), err_(err), settings_(settings) {}

void StreamOutput::Line(std::string_view line) {
  // Both streams on one terminal: lift the transient line off, print, put it back.
  const bool redraw = settings_.outputIsTerminal && !transient_.empty();
  if (redraw) err_ << Erased() << std::flush;
  out_ << line << '\n' << std::flush;
  if (redraw) err_ << Drawn(0) << std::flush;
}

void StreamOutput::Note(std::string_view note) {
  const bool redraw = !transient_.empty();
  if (redraw) err_ << Erased();
  err_ << "mx7410-flash: " << note << '\n';
  if (redraw) err_ << Drawn(0);
  err_ << std::flush;
}

void StreamOutput::Progress(const ProgressSample& sample) {
  DrawTransient(FormatProgressLine(sample, settings_.columns));
}

void StreamOutput::Waiting(std::string_view text) { DrawTransient(std::string(text)); }

void StreamOutput::EndTransient() {
  if (!transient_.empty()) err_ << Erased() << std::flush;
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
  const int shownWidth = DisplayWidth(transient_);
  transient_ = std::move(line);
  err_ << Drawn(shownWidth) << std::flush;
}

// Takes the transient line off; the cursor ends at the line's start.
std::string StreamOutput::Erased() const {
  if (settings_.controlSequences) return "\r" + std::string(kClearToLineEnd);
  const int width = std::max(0, std::min(DisplayWidth(transient_), settings_.columns - 1));
  return "\r" + std::string(width, ' ') + "\r";
}

// The transient line over a line that shows `shownWidth` columns: without
// control sequences, spaces cover what the new line does not, short of the
// last column so that the cursor does not wrap.
std::string StreamOutput::Drawn(int shownWidth) const {
  if (settings_.controlSequences) return "\r" + transient_ + std::string(kClearToLineEnd);
  const int width = DisplayWidth(transient_);
  const int padding = std::max(0, std::min(shownWidth, settings_.columns - 1) - width);
  return "\r" + transient_ + std::string(padding, ' ');
}

}  // namespace mx::flash
