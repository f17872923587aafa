#include "StationReport.h"

#include <cstdio>
#include <ostream>

#include "Gang.h"
#include "JsonEvent.h"
#include "JsonReport.h"
#include "PortRun.h"
#include "PortTable.h"

namespace mx::flash {

namespace {

constexpr std::string_view kProgram = "mx7410-flash: ";

}  // namespace

void BoardOutput::Line(std::string_view line) { messages_.emplace_back(line); }
void BoardOutput::Note(std::string_view note) { report_.PortNote(port_, note); }
void BoardOutput::Progress(const ProgressSample& sample) { report_.PortState(port_, "writing", sample); }
void BoardOutput::Waiting(std::string_view) { report_.PortState(port_, std::string(StationReport::kWaitingState)); }
void BoardOutput::WaitingForNumber(std::string_view why) { report_.PortWaitingForNumber(port_, why); }
// The wait for a board is over: a board is there from now on.
void BoardOutput::EndTransient() { report_.BoardCaught(port_); }

StationReport::StationReport(std::ostream& out, std::ostream& err, const Options& options, StreamSettings settings,
                             std::unique_ptr<StationLog> log, std::string fileDigest)
    : out_(out),
      err_(err),
      options_(options),
      settings_(settings),
      log_(std::move(log)),
      fileDigest_(std::move(fileDigest)) {}

std::unique_ptr<BoardOutput> StationReport::OutputFor(const std::string& port, bool waitsForBoard) {
  PortState(port, waitsForBoard ? std::string(kWaitingState) : "connecting");
  return std::make_unique<BoardOutput>(*this, port);
}

void StationReport::BoardCaught(const std::string& port) {
  std::lock_guard lock(mutex_);
  Row& row = rows_[port];
  if (row.state == kWaitingState) row.state = "connecting";
}

// A board from a sealed package names it, and one from a signed file or
// package names the key and the trusted comment.
void StationReport::AddProvenance(nlohmann::json& record) const {
  const BoardWrites& writes = options_.boardWrites;
  if (!writes.packageId.empty()) record["package"] = writes.packageId;
  if (writes.keyId.empty()) return;
  record["key_id"] = writes.keyId;
  record["trusted_comment"] = writes.trustedComment;
}

nlohmann::json StationReport::BoardEnded(const std::string& port, const BoardOutcome& board) {
  nlohmann::json record = JsonEvent("board");
  std::lock_guard lock(mutex_);
  if (stopped_) return record;  // abandoned: its record is out already
  record.update({{"board", ++boards_}, {"port", port}, {"file", AbsoluteFile(options_)}});
  AddRunResult(record, board.result, board.messages);
  if (!record.contains("file_sha256")) AddFileHash(record, fileDigest_);
  AddProvenance(record);
  record["attempts"] = 1 + board.retries;
  if (board.interrupted) record["interrupted"] = true;
  KeepRecord(port, record, board.result.exitStatus, board.result.outcome.reason, board.result.elapsed);
  return record;
}

// Writes the board's record to the log (on disk before it returns) and its
// line, with the lock held.
void StationReport::KeepRecord(const std::string& port, const nlohmann::json& record, int exitStatus,
                               const std::string& reason, std::chrono::duration<double> elapsedTime) {
  const bool passed = exitStatus == kExitSuccess;
  if (passed) ++passed_;
  if (log_ && !log_->Append(record.dump())) err_ << kProgram << "the log file refused board " << boards_ << '\n';

  ClearTable();
  if (options_.json) {
    out_ << record.dump() << '\n';
  } else {
    char elapsed[32];
    std::snprintf(elapsed, sizeof elapsed, "%.2f s", elapsedTime.count());
    std::string line = "#" + std::to_string(boards_) + " " + port + ": " + ResultWord(exitStatus);
    if (!passed && !reason.empty()) line += ", " + reason;
    out_ << line << ", " << elapsed << '\n';
  }
  out_.flush();
  Row& row = rows_[port];
  row.state = "#" + std::to_string(boards_) + " " + ResultWord(exitStatus);
  row.progress.reset();
  row.ended = true;
  row.changed = std::chrono::steady_clock::now();
  if (ShowsTable()) DrawTable();
}

// Every board under way gets its record, then the tally; nothing after.
void StationReport::Abandoned(int exitStatus) {
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    const auto now = std::chrono::steady_clock::now();
    for (auto& [port, row] : rows_) {
      if (row.ended || row.state == kWaitingState || row.state == "no board" || row.state == "stopped") continue;
      nlohmann::json record = JsonEvent("board");
      record.update({{"board", ++boards_},
                     {"port", port},
                     {"file", AbsoluteFile(options_)},
                     {"exit", exitStatus},
                     {"result", ResultWord(exitStatus)},
                     {"interrupted", true},
                     {"stage", row.state}});
      AddFileHash(record, fileDigest_);
      AddProvenance(record);
      if (row.progress) AddProgress(record, row.progress->bytesDone.value_or(0), row.progress->bytesTotal.value_or(0));
      KeepRecord(port, record, exitStatus, "interrupted", now - row.started);
    }
  }
  Finished();
  std::lock_guard lock(mutex_);
  stopped_ = true;
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
  Row& row = rows_[port];
  const auto now = std::chrono::steady_clock::now();
  if (row.ended || row.state == kWaitingState) row.started = now;  // a new board
  row.state = std::move(state);
  row.progress = progress;
  row.ended = false;
  row.changed = now;
}

void StationReport::PortNote(const std::string& port, std::string_view note) {
  std::lock_guard lock(mutex_);
  const bool lift = tableLines_ > 0;
  if (lift) ClearTable();
  err_ << kProgram << port << ": " << note << '\n' << std::flush;
  if (lift) DrawTable();
}

void StationReport::PortWaitingForNumber(const std::string& port, std::string_view why) {
  PortState(port, kNumberPoolState);
  PortNote(port, "waiting for the number pool: " + std::string(why));
  if (!options_.json) return;
  std::lock_guard lock(mutex_);
  out_ << NumberPoolWaitEvent(port).dump() << '\n' << std::flush;
}

void StationReport::Refresh() {
  std::lock_guard lock(mutex_);
  if (!ShowsTable()) return;
  ClearTable();
  DrawTable();
}

void StationReport::Finished() {
  std::lock_guard lock(mutex_);
  if (stopped_) return;
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

void StationReport::ClearTable() { ClearPortTable(err_, tableLines_); }

void StationReport::DrawTable() {
  const auto now = std::chrono::steady_clock::now();
  std::erase_if(rows_,
                [now](const auto& entry) { return entry.second.ended && now - entry.second.changed > kEndedRowShown; });
  std::vector<PortTableRow> rows;
  for (const auto& [port, row] : rows_) rows.push_back({port, row.state, row.progress});
  const StationTally tally = TallyLocked();
  char footer[160];
  std::snprintf(footer, sizeof footer, "passed %ld  failed %ld  %.1f boards/h", tally.passed, tally.failed,
                tally.boardsPerHour);
  tableLines_ = DrawPortTable(err_, rows, kStateWidth, settings_.columns, footer);
}

}  // namespace mx::flash
