#include "ConsoleReport.h"

#include <algorithm>
#include <cstdio>
#include <ostream>

#include "Gang.h"
#include "PortTable.h"

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
  std::lock_guard lock(mutex_);
  rows_[index].result = result;
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
  for (const PortResult& result : results) out_ << SummaryLine(result) << '\n';
  out_.flush();
}

// Every port gets its line: those still running say how far they got.
void ConsoleReport::Abandoned(int exitStatus) {
  std::lock_guard lock(mutex_);
  ClearTable();
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    if (rows_[i].result) {
      out_ << SummaryLine(*rows_[i].result) << '\n';
      continue;
    }
    std::string line = ports_[i] + ": " + ResultWord(exitStatus) + ", interrupted while " + rows_[i].state;
    if (rows_[i].progress) line += " (" + std::to_string(WholePercent(*rows_[i].progress)) + " %)";
    out_ << line << '\n';
  }
  out_.flush();
}

std::string ConsoleReport::SummaryLine(const PortResult& result) {
  std::string line = result.port + ": " + ResultWord(result.exitStatus);
  if (!result.outcome.reason.empty() && result.exitStatus != kExitSuccess) line += ", " + result.outcome.reason;
  if (result.outcome.interrupted && result.outcome.transfer) {
    line += " at " + std::to_string(PercentDone(result.outcome.transfer->progress)) + " %";
  }
  return line + ", " + Seconds(result.elapsed);
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

void ConsoleReport::ClearTable() { ClearPortTable(err_, tableLines_); }

void ConsoleReport::DrawTable() {
  std::vector<PortTableRow> rows;
  for (std::size_t i = 0; i < rows_.size(); ++i) rows.push_back({ports_[i], rows_[i].state, rows_[i].progress});
  tableLines_ = DrawPortTable(err_, rows, kStateWidth, settings_.columns);
}

}  // namespace mx::flash

namespace mx::flash {

// The run's stream output, noting the latest position for an abandoned run.
class SingleRunReport::Output final : public TerminalOutput {
 public:
  Output(SingleRunReport& report, StreamOutput stream) : report_(report), stream_(std::move(stream)) {}
  void Line(std::string_view line) override { stream_.Line(line); }
  void Note(std::string_view note) override { stream_.Note(note); }
  void Progress(const ProgressSample& sample) override {
    {
      std::lock_guard lock(report_.mutex_);
      report_.latest_ = sample;
    }
    stream_.Progress(sample);
  }
  void Waiting(std::string_view text) override { stream_.Waiting(text); }
  void EndTransient() override { stream_.EndTransient(); }
  void Beep() override { stream_.Beep(); }
  void Flush() override { stream_.Flush(); }

 private:
  SingleRunReport& report_;
  StreamOutput stream_;
};

SingleRunReport::SingleRunReport(std::ostream& out, std::ostream& err, std::string port, StreamSettings settings)
    : out_(out), err_(err), port_(std::move(port)), settings_(settings) {}

std::unique_ptr<TerminalOutput> SingleRunReport::OutputFor(std::size_t) {
  return std::make_unique<Output>(*this, StreamOutput(out_, err_, settings_));
}

void SingleRunReport::Ended(std::size_t, const PortResult&) {
  std::lock_guard lock(mutex_);
  ended_ = true;
}

void SingleRunReport::Abandoned(int exitStatus) {
  std::lock_guard lock(mutex_);
  if (ended_) return;
  ended_ = true;
  std::string line = (port_.empty() ? std::string("the run") : port_) + ": " + ResultWord(exitStatus) + ", interrupted";
  if (latest_) line += " at " + std::to_string(WholePercent(*latest_)) + " %";
  out_ << '\n' << line << '\n' << std::flush;
}

}  // namespace mx::flash
