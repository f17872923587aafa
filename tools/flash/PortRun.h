#pragma once

// One command on one port, through the device actions: its event queue, the
// actions, and how they show on a terminal. A run alone, each port of a tray
// and each board of a station are one PortRun each, so they send the same
// bytes and report the same way. What it prints are the texts the window
// shows for the same events; the exit status comes from the outcome.

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "BoardImages.h"
#include "CommandLine.h"
#include "ProgressBar.h"
#include "TerminalView.h"
#include "actions/ActionOutcome.h"
#include "actions/DeviceActions.h"
#include "app/LanguageTexts.h"
#include "serial/EventLoop.h"
#include "update/FirmwareImage.h"

namespace mx::flash {

class PortRun final : private ActionEvents {
 public:
  // A board that waits for a number asks the pool again this often.
  static constexpr std::chrono::seconds kPoolRetry{3};

  // `output` must outlive the run; `image` is the firmware file read and
  // checked once, for the commands that take one. With `boards`, an update
  // writes the board's own image from there instead, and records the board.
  PortRun(Options options, TerminalOutput& output, std::shared_ptr<const FirmwareImage> image = nullptr,
          BoardImages* boards = nullptr);
  PortRun(const PortRun&) = delete;
  PortRun& operator=(const PortRun&) = delete;

  // Runs the command on the calling thread, which becomes the actions'
  // thread, and closes the port once what it queued has left. Returns the
  // exit status.
  int Run();
  // Asks the run to stop: its port closes at once and whatever runs ends.
  // Callable from any thread.
  void Interrupt();
  // The wizard's --max-wait has passed: stop waiting if it still waits. Any thread.
  void MaxWaitPassed();
  // No board may come any more: stop waiting for one if it still waits,
  // saying `why`. Any thread.
  void StopWaitingForBoard(std::string why);

  const ActionOutcome& Outcome() const { return outcome_; }
  // The wizard saw a device power on (or the command needed no waiting).
  bool BoardSeen() const { return boardSeen_; }
  // How often the image was written again after a time-out.
  int Retries() const { return retries_; }
  const Options& RunOptions() const { return options_; }
  // The board's own image and what went into it, once one was drawn.
  const std::optional<BoardImage>& Board() const { return board_; }

 private:
  int RunCommand();
  int RunConnect();
  int RunUpdate(bool restore);
  int RunErase();
  int RunWizard();

  bool Connect();
  bool ChoosePort();
  int ReportOpenFailure(const std::optional<ECommsError>& failure);
  bool DrawBoardImage();
  void WaitForNumberPool();
  void FinishBoard(int status);
  int Transfer(bool restore);
  int EndTransfer(const TransferOutcome& transfer, Clock::time_point start);
  int RetryAfterTimeOut(int status, bool restore);
  bool NextStepMayRun();
  void Fail(ActionResult result, const std::string& reason, bool shown = true);
  int StatusFor(Action expected) const;

  // ---- ActionEvents
  void Logged(const LogEntry& entry) override;
  void RequestNotQueued() override;
  void GreetingFailed() override;
  void Progressed(const TransferProgress& progress) override;
  void PowerOnWaitStarted() override;
  void PowerOnWaited(long seconds) override;
  void PortLost() override;

  void NotePortError(const PortError& error);
  void ShowLine(std::string_view line);     // a line the window writes in its memo
  void ShowMessage(std::string_view text);  // what the window shows in a message box

  const Options options_;
  TerminalOutput& output_;
  const std::shared_ptr<const FirmwareImage> image_;
  BoardImages* const boards_;
  std::optional<BoardImage> board_;
  std::chrono::system_clock::time_point started_;
  const LanguageTexts& texts_;
  EventQueue loop_;
  DeviceActions actions_;
  PortSettings port_;
  ActionOutcome outcome_;
  ProgressTracker progress_;
  bool restoreMode_ = false;  // log lines begin with the restore caption
  bool interrupted_ = false;
  bool maxWaitPassed_ = false;
  bool waitingForPowerOn_ = false;
  bool boardSeen_ = true;
  int retries_ = 0;
};

// The exit status for the way an action ended.
int ExitStatusFor(ActionResult result);

// The firmware file of the command as an absolute path (UTF-8); empty when
// the command takes none.
std::string AbsoluteFile(const Options& options);

}  // namespace mx::flash
