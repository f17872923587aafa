#include "StationReport.h"

#include <cstdio>
#include <ostream>

#include "CommandRunner.h"
#include "Gang.h"
#include "JsonEvent.h"
#include "JsonReport.h"

namespace mx::flash {

namespace {

constexpr std::string_view kProgram = "mx7410-flash: ";

}  // namespace

void BoardOutput::Line(std::string_view line) { messages_.emplace_back(line); }
void BoardOutput::Note(std::string_view note) { report_.PortNote(port_, note); }
void BoardOutput::Progress(const ProgressSample& sample) { report_.PortState(port_, "writing", sample); }
void BoardOutput::Waiting(std::string_view) { report_.PortState(port_, "waiting for a board"); }

StationReport::StationReport(std::ostream& out, std::ostream& err, const Options& options, StreamSettings settings,
                             std::unique_ptr<StationLog> log)
    : out_(out), err_(err), options_(options), settings_(settings), log_(std::move(log)) {}

std::unique_ptr<BoardOutput> StationReport::OutputFor(const std::string& port) {
  PortState(port, "connecting");
  return std::make_unique<BoardOutput>(*this, port);
}

nlohmann::json StationReport::BoardEnded(const std::string& port, const BoardOutcome& board) {
  const bool passed = board.result.exitStatus == kExitSuccess;
  nlohmann::json record = JsonEvent("board");
  std::lock_guard lock(mutex_);
  record.update({{"board", ++boards_}, {"port", port}, {"file", AbsoluteFile(options_)}});
  AddRunResult(record, board.result, board.messages);
  record["attempts"] = 1 + board.retries;
  if (board.interrupted) record["interrupted"] = true;
  if (passed) ++passed_;
  if (log_ && !log_->Append(record.dump())) err_ << kProgram << "the log file refused board " << boards_ << '\n';

  ClearTable();
  if (options_.json) {
    out_ << record.dump() << '\n';
  } else {
    char elapsed[32];
    std::snprintf(elapsed, sizeof elapsed, "%.2f s", board.result.elapsed.count());
    std::string line = "#" + std::to_string(boards_) + " " + port + ": " + ResultWord(board.result.exitStatus);
    if (!passed && !board.result.outcome.reason.empty()) line += ", " + board.result.outcome.reason;
    out_ << line << ", " << elapsed << '\n';
  }
  out_.flush();
  rows_[port] = {"#" + std::to_string(boards_) + " " + ResultWord(board.result.exitStatus), std::nullopt, true,
                 std::chrono::steady_clock::now()};
  if (ShowsTable()) DrawTable();
  return record;
}

void StationReport::Watching() {
  std::lock_guard lock(mutex_);
  if (options_.json) {
    out_ << JsonEvent("watching").dump() << '\n';
  } else {
    out_ << "station: watching for boards; Ctrl-C stops\n";
  }
  out_.flush();
}

void StationReport::PortState(const std::string& port, std::string state, std::optional<ProgressSample> progress) {
  std::lock_guard lock(mutex_);
  rows_[port] = {std::move(state), progress, false, std::chrono::steady_clock::now()};
}

void StationReport::PortNote(const std::string& port, std::string_view note) {
  std::lock_guard lock(mutex_);
  const bool lift = tableLines_ > 0;
  if (lift) ClearTable();
  err_ << kProgram << port << ": " << note << '\n' << std::flush;
  if (lift) DrawTable();
}

void StationReport::Refresh() {
  std::lock_guard lock(mutex_);
  if (!ShowsTable()) return;
  ClearTable();
  DrawTable();
}

void StationReport::Finished() {
  std::lock_guard lock(mutex_);
  ClearTable();
  const StationTally tally = TallyLocked();
  char line[160];
  std::snprintf(line, sizeof line, "station: %ld boards, %ld passed, %ld failed, %.1f boards per hour\n",
                tally.passed + tally.failed, tally.passed, tally.failed, tally.boardsPerHour);
  err_ << line << std::flush;
}

StationTally StationReport::Tally() const {
  std::lock_guard lock(mutex_);
  return TallyLocked();
}

StationTally StationReport::TallyLocked() const {
  const std::chrono::duration<double, std::ratio<3600>> hours = std::chrono::steady_clock::now() - start_;
  return {passed_, boards_ - passed_, hours.count() > 0 ? static_cast<double>(boards_) / hours.count() : 0};
}

void StationReport::ClearTable() {
  if (tableLines_ == 0) return;
  err_ << "\r\x1b[" << tableLines_ << "A\x1b[J" << std::flush;  // up to the table's first line, clear below
  tableLines_ = 0;
}

void StationReport::DrawTable() {
  const auto now = std::chrono::steady_clock::now();
  std::erase_if(rows_,
                [now](const auto& entry) { return entry.second.ended && now - entry.second.changed > kEndedRowShown; });
  std::size_t portWidth = 4;
  for (const auto& [port, row] : rows_) portWidth = std::max(portWidth, port.size());
  const auto columns = static_cast<std::size_t>(std::max(settings_.columns - 1, 20));
  for (const auto& [port, row] : rows_) {
    char percent[8] = "";
    if (row.progress) std::snprintf(percent, sizeof percent, "%3d%%", WholePercent(*row.progress));
    char line[512];
    std::snprintf(line, sizeof line, "%-*s  %-20.20s %4s  %s", static_cast<int>(portWidth), port.c_str(),
                  row.state.c_str(), percent, row.progress ? FormatRate(*row.progress).c_str() : "");
    err_ << std::string(line).substr(0, columns) << '\n';
  }
  const StationTally tally = TallyLocked();
  char line[160];
  std::snprintf(line, sizeof line, "passed %ld  failed %ld  %.1f boards/h", tally.passed, tally.failed,
                tally.boardsPerHour);
  err_ << std::string(line).substr(0, columns) << '\n' << std::flush;
  tableLines_ = rows_.size() + 1;
}

}  // namespace mx::flash
