#pragma once

// How several runs at once show: for a person, each port's lines prefixed
// with its name, a live table on standard error and a summary; for a factory
// system, JSON Lines.

#include <chrono>
#include <iosfwd>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Gang.h"
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

// JSON Lines on standard output, one object a line: "start", "progress" (at
// most every 250 ms), "end" for every port, then one "summary".
class JsonReport final : public GangReport {
 public:
  static constexpr std::chrono::milliseconds kProgressInterval{250};

  // `fileSha256` is the firmware file's, for file commands.
  JsonReport(std::ostream& out, std::ostream& err, std::vector<std::string> ports, const Options& options,
             std::string fileSha256);

  std::unique_ptr<TerminalOutput> OutputFor(std::size_t index) override;
  void Ended(std::size_t index, const PortResult& result) override;
  void Refresh() override {}
  void Finished(const std::vector<PortResult>& results, int exitStatus) override;

  // What one port shows, from its thread.
  void PortLine(std::size_t index, std::string_view line);
  void PortNote(std::size_t index, std::string_view note);
  void PortProgress(std::size_t index, const ProgressSample& sample);

 private:
  struct PortLog {
    std::vector<std::string> messages;  // what the plain output would print, in order
    std::optional<std::chrono::steady_clock::time_point> lastProgress;
  };
  void Write(const std::string& line);

  std::ostream& out_;
  std::ostream& err_;
  const std::vector<std::string> ports_;
  const Options& options_;
  const std::string fileSha256_;
  std::mutex mutex_;  // one object a line, whole
  std::vector<PortLog> logs_;
};

}  // namespace mx::flash
