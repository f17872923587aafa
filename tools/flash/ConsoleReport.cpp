#include "ConsoleReport.h"

#include <algorithm>
#include <cstdio>
#include <ostream>

#include "Gang.h"

namespace mx::flash {

namespace {

constexpr std::string_view kProgram = "mx7410-flash: ";

std::string Seconds(std::chrono::duration<double> elapsed) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f s", elapsed.count());
  return text;
}

// A port's share of the console.
class PortConsoleOutput final : public TerminalOutput {
 public:
  PortConsoleOutput(ConsoleReport& report, std::size_t index) : report_(report), index_(index) {}
  void Line(std::string_view line) override { report_.PortLine(index_, line); }
  void Note(std::string_view note) override { report_.PortNote(index_, note); }
  void Progress(const ProgressSample& sample) override { report_.PortState(index_, "writing", sample); }
  void Waiting(std::string_view text) override { report_.PortState(index_, std::string(text)); }
  void EndTransient() override {}
  void Beep() override {}
  void Flush() override {}

 private:
  ConsoleReport& report_;
  const std::size_t index_;
};

}  // namespace

// ---- ConsoleReport ----------------------------------------------------------

ConsoleReport::ConsoleReport(std::ostream& out, std::ostream& err, std::vector<std::string> ports,
                             StreamSettings settings)
    : out_(out), err_(err), ports_(std::move(ports)), settings_(settings), rows_(ports_.size()) {}

std::unique_ptr<TerminalOutput> ConsoleReport::OutputFor(std::size_t index) {
  PortState(index, "connecting");
  return std::make_unique<PortConsoleOutput>(*this, index);
}

void ConsoleReport::Ended(std::size_t index, const PortResult& result) {
  PortState(index, ResultWord(result.exitStatus));
}

void ConsoleReport::Refresh() {
  std::lock_guard lock(mutex_);
  if (!ShowsTable()) return;
  ClearTable();
  DrawTable();
}

void ConsoleReport::Finished(const std::vector<PortResult>& results, int) {
  std::lock_guard lock(mutex_);
  ClearTable();
  for (const PortResult& result : results) {
    std::string line = result.port + ": " + ResultWord(result.exitStatus);
    if (!result.outcome.reason.empty() && result.exitStatus != kExitSuccess) line += ", " + result.outcome.reason;
    out_ << line << ", " << Seconds(result.elapsed) << '\n';
  }
  out_.flush();
}

void ConsoleReport::PortLine(std::size_t index, std::string_view line) {
  std::lock_guard lock(mutex_);
  // The table and the lines share the terminal: lift it off, print, put it back.
  const bool lift = settings_.outputIsTerminal && tableLines_ > 0;
  if (lift) ClearTable();
  out_ << ports_[index] << ": " << line << '\n' << std::flush;
  if (lift) DrawTable();
}

void ConsoleReport::PortNote(std::size_t index, std::string_view note) {
  std::lock_guard lock(mutex_);
  const bool lift = tableLines_ > 0;
  if (lift) ClearTable();
  err_ << kProgram << ports_[index] << ": " << note << '\n' << std::flush;
  if (lift) DrawTable();
}

void ConsoleReport::PortState(std::size_t index, std::string state, std::optional<ProgressSample> progress) {
  std::lock_guard lock(mutex_);
  rows_[index].state = std::move(state);
  if (progress) rows_[index].progress = progress;
}

void ConsoleReport::ClearTable() {
  if (tableLines_ == 0) return;
  err_ << "\r\x1b[" << tableLines_ << "A\x1b[J" << std::flush;  // up to the table's first line, clear below
  tableLines_ = 0;
}

void ConsoleReport::DrawTable() {
  std::size_t portWidth = 4;
  for (const std::string& port : ports_) portWidth = std::max(portWidth, port.size());
  const int columns = std::max(settings_.columns - 1, 20);
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    const Row& row = rows_[i];
    char percent[8] = "";
    if (row.progress) std::snprintf(percent, sizeof percent, "%3d%%", WholePercent(*row.progress));
    char line[512];
    std::snprintf(line, sizeof line, "%-*s  %-14.14s %4s  %s", static_cast<int>(portWidth), ports_[i].c_str(),
                  row.state.c_str(), percent, row.progress ? FormatRate(*row.progress).c_str() : "");
    std::string text = line;
    if (static_cast<int>(text.size()) > columns) text.resize(static_cast<std::size_t>(columns));
    err_ << text << '\n';
  }
  err_ << std::flush;
  tableLines_ = rows_.size();
}

}  // namespace mx::flash
