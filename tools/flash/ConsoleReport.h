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

  // What one port shows, from its thread.
  void PortLine(std::size_t index, std::string_view line);
  void PortNote(std::size_t index, std::string_view note);
  void PortState(std::size_t index, std::string state, std::optional<ProgressSample> progress = std::nullopt);

 private:
  struct Row {
    std::string state = "starting";
    std::optional<ProgressSample> progress;
  };
  bool ShowsTable() const { return settings_.errorIsTerminal && !settings_.quiet; }
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

}  // namespace mx::flash
