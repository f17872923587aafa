#pragma once

// How several runs at once show to a person: each port's lines prefixed with
// its name, a live table on standard error and a summary.

#include <iosfwd>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "GangReport.h"
#include "ProgressBar.h"

namespace mx::flash {

// Plain output. Standard output gets "<port>: <line>" for every line a run
// alone would print, and at the end one summary line per port. While
// standard error is a terminal it shows a table, one row per port (state,
// percent, rate, time left), redrawn in place.
class ConsoleReport final : public GangReport {
 public:
  ConsoleReport(std::ostream& out, std::ostream& err, std::vector<std::string> ports, StreamSettings settings);

  std::unique_ptr<TerminalOutput> OutputFor(std::size_t index) override;
  void Ended(std::size_t index, const PortResult& result) override;
  void Refresh() override;
  void Finished(const std::vector<PortResult>& results, int exitStatus) override;
  void Abandoned(int exitStatus) override;

  // What one port shows, from its thread.
  void PortLine(std::size_t index, std::string_view line);
  void PortNote(std::size_t index, std::string_view note);
  void PortState(std::size_t index, std::string state, std::optional<ProgressSample> progress = std::nullopt);

 private:
  static constexpr int kStateWidth = 14;

  struct Row {
    std::string state = "starting";
    std::optional<ProgressSample> progress;
    std::optional<PortResult> result;  // once ended
  };
  static std::string SummaryLine(const PortResult& result);
  // The table is redrawn in place: only where the terminal moves its cursor.
  bool ShowsTable() const { return settings_.errorIsTerminal && settings_.controlSequences && !settings_.quiet; }
  void ClearTable();  // with the lock held
  void DrawTable();   // with the lock held

  std::ostream& out_;
  std::ostream& err_;
  const std::vector<std::string> ports_;
  const StreamSettings settings_;
  std::mutex mutex_;
  std::vector<Row> rows_;
  std::size_t tableLines_ = 0;  // lines of the table on the screen now
};

// A run on one port: its text goes straight to the standard streams, as a
// run alone prints it (StreamOutput), with no table and no summary; only an
// abandoned run gets one closing line, saying how far it got.
class SingleRunReport final : public GangReport {
 public:
  SingleRunReport(std::ostream& out, std::ostream& err, std::string port, StreamSettings settings);

  std::unique_ptr<TerminalOutput> OutputFor(std::size_t index) override;
  void Ended(std::size_t, const PortResult&) override;
  void Refresh() override {}
  void Finished(const std::vector<PortResult>&, int) override {}
  void Abandoned(int exitStatus) override;

 private:
  class Output;

  std::ostream& out_;
  std::ostream& err_;
  const std::string port_;
  const StreamSettings settings_;
  std::mutex mutex_;  // guards what follows
  std::optional<ProgressSample> latest_;
  bool ended_ = false;
};

}  // namespace mx::flash
