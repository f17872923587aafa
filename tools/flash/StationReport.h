#pragma once

// What a station shows and keeps. Every board's outcome becomes one JSON
// record ("board": sequence number, port, file, SHA-256 of the bytes sent,
// result, attempts, messages, time), appended to the log and on disk before
// the port's next board starts; standard output gets one line per board (the
// record itself with --json). While standard error is a terminal it shows a
// table: each port's state, and the tally of passed, failed and boards per hour.

#include <chrono>
#include <iosfwd>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "GangReport.h"
#include "ProgressBar.h"
#include "StationLog.h"

namespace mx::flash {

// One board's run, as the station ends it.
struct BoardOutcome {
  PortResult result;
  int retries = 0;                    // times written again after a time-out
  bool interrupted = false;           // the station was stopped while it ran
  std::vector<std::string> messages;  // what the plain output would print for it
};

struct StationTally {
  long passed = 0;
  long failed = 0;
  double boardsPerHour = 0;
};

class StationReport;

// A board's share of the station: lines kept for its record, progress and
// waiting shown in its port's row. Used by the board's thread only.
class BoardOutput final : public TerminalOutput {
 public:
  BoardOutput(StationReport& report, std::string port) : report_(report), port_(std::move(port)) {}
  void Line(std::string_view line) override;
  void Note(std::string_view note) override;
  void Progress(const ProgressSample& sample) override;
  void Waiting(std::string_view text) override;
  void WaitingForNumber(std::string_view why) override;
  void EndTransient() override;
  void Beep() override {}
  void Flush() override {}

  const std::vector<std::string>& Messages() const { return messages_; }

 private:
  StationReport& report_;
  const std::string port_;
  std::vector<std::string> messages_;
};

// Members may be called from any thread.
class StationReport {
 public:
  // A port's state while its run waits for a board to power on.
  static constexpr char kWaitingState[] = "waiting for a board";
  static constexpr char kNumberPoolState[] = "waiting for the number pool";

  // `log` may be null: no log file.
  // `fileDigest`: the SHA-256 of the file, read once at the start.
  StationReport(std::ostream& out, std::ostream& err, const Options& options, StreamSettings settings,
                std::unique_ptr<StationLog> log, std::string fileDigest = {});

  // Where a board's run on `port` sends its text; the lines are kept for its
  // record. `waitsForBoard`: the run first waits for a board to power on.
  std::unique_ptr<BoardOutput> OutputFor(const std::string& port, bool waitsForBoard);
  // The wait on `port` caught a board.
  void BoardCaught(const std::string& port);
  // Numbers the board, writes its record (on disk before it returns) and its
  // line; returns the record.
  nlohmann::json BoardEnded(const std::string& port, const BoardOutcome& board);

  // The station watches now: a board that comes from here on is flashed.
  void Watching();
  void PortState(const std::string& port, std::string state, std::optional<ProgressSample> progress = std::nullopt);
  void PortNote(const std::string& port, std::string_view note);
  // The board on `port` waits for a serial number: its row, a note, and the
  // "waiting" object with --json.
  void PortWaitingForNumber(const std::string& port, std::string_view why);
  // Draws the table again (only while standard error is a terminal).
  void Refresh();
  // The table is redrawn in place: only where the terminal moves its cursor.
  bool ShowsTable() const { return settings_.errorIsTerminal && settings_.controlSequences && !settings_.quiet; }
  // The closing tally line on standard error.
  void Finished();
  // The process ends now: every board under way gets its record (saying it
  // was interrupted and how far it got), then the tally; nothing is written
  // after this.
  void Abandoned(int exitStatus);
  StationTally Tally() const;

 private:
  // A port whose board has ended leaves the table this long after, so that
  // a day of adapters plugged in and out does not grow it without end.
  static constexpr std::chrono::seconds kEndedRowShown{30};

  static constexpr int kStateWidth = 20;

  struct Row {
    std::string state;
    std::optional<ProgressSample> progress;
    bool ended = false;
    std::chrono::steady_clock::time_point changed;
    std::chrono::steady_clock::time_point started;  // of the board now on the port
  };
  void AddProvenance(nlohmann::json& record) const;
  void KeepRecord(const std::string& port, const nlohmann::json& record, int exitStatus, const std::string& reason,
                  std::chrono::duration<double> elapsed);  // with the lock held
  void ClearTable();                                       // with the lock held
  void DrawTable();                                        // with the lock held
  StationTally TallyLocked() const;

  std::ostream& out_;
  std::ostream& err_;
  const Options& options_;
  const StreamSettings settings_;
  const std::unique_ptr<StationLog> log_;
  const std::string fileDigest_;
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  mutable std::mutex mutex_;
  std::map<std::string, Row> rows_;
  std::size_t tableLines_ = 0;
  long boards_ = 0;
  long passed_ = 0;
  bool stopped_ = false;  // abandoned: nothing more is written
};

}  // namespace mx::flash
