#include "PortRun.h"

#include <algorithm>
#include <filesystem>
#include <variant>

#include "ConnectorName.h"
#include "DeadlineTimer.h"
#include "Gang.h"
#include "JsonEvent.h"
#include "PortAccess.h"
#include "app/ActionTexts.h"
#include "app/HostSystem.h"
#include "app/form/ReceiveDisplay.h"
#include "update/HexFile.h"

namespace mx::flash {

int ExitStatusFor(ActionResult result) {
  switch (result) {
    case ActionResult::Success:
      return kExitSuccess;
    case ActionResult::FileRefused:
      return kExitFileRefused;
    case ActionResult::PortFailed:
      return kExitPortFailed;
    case ActionResult::DeviceFailed:
    case ActionResult::None:
      break;
  }
  return kExitDeviceFailed;
}

std::string AbsoluteFile(const Options& options) {
  if (!CommandTakesFile(options.command)) return {};
  // Through UTF-8 both ways: a plain string would take the ANSI code page on Windows.
  const std::u8string file(options.file.begin(), options.file.end());
  const std::u8string absolute = std::filesystem::absolute(std::filesystem::path(file)).lexically_normal().u8string();
  return std::string(absolute.begin(), absolute.end());
}

PortRun::PortRun(Options options, TerminalOutput& output, std::shared_ptr<const FirmwareImage> image,
                 BoardImages* boards)
    : options_(std::move(options)),
      output_(output),
      image_(std::move(image)),
      boards_(boards),
      texts_(TextsFor(LanguageFromSetting(options_.language))),
      actions_(loop_, *this) {
  port_.readGapMs = options_.readGapMs;
}

int PortRun::Run() {
  started_ = std::chrono::system_clock::now();
  int status = RunCommand();
  NotePortError(actions_.Port().LastError());  // a refused setting, say
  actions_.Close();
  output_.EndTransient();
  if (interrupted_) outcome_.interrupted = true;
  FinishBoard(status);
  output_.Flush();
  return status;
}

void PortRun::Interrupt() {
  loop_.Post([this] {
    if (interrupted_) return;
    interrupted_ = true;
    output_.Note("interrupted, closing the port");
    actions_.Stop();
  });
}

void PortRun::MaxWaitPassed() {
  StopWaitingForBoard("no device seen within " + std::to_string(options_.maxWaitSeconds.value_or(0)) + " s");
}

void PortRun::StopWaitingForBoard(std::string why) {
  loop_.Post([this, why = std::move(why)] {
    if (!waitingForPowerOn_ || !actions_.IsOpen()) return;
    maxWaitPassed_ = true;
    output_.Note(why);
    actions_.Close();
  });
}

int PortRun::RunCommand() {
  switch (options_.command) {
    case Command::Connect:
      return RunConnect();
    case Command::Update:
      return RunUpdate(false);
    case Command::Restore:
      return RunUpdate(true);
    case Command::Erase:
      return RunErase();
    case Command::Wizard:
      return RunWizard();
    case Command::Ports:
    case Command::Check:
    case Command::Station:
    case Command::Keygen:
    case Command::Sign:
    case Command::Records:
      break;  // no device action of its own
  }
  return kExitDeviceFailed;
}

int PortRun::RunConnect() {
  const bool connected = Connect();
  if (connected && options_.quiet && outcome_.version) {
    for (const std::string& line : VersionLines(*outcome_.version, texts_)) output_.Line(line);
  }
  return outcome_.result == ActionResult::PortFailed ? kExitPortFailed : ExitStatusFor(outcome_.result);
}

// Update, or Restore (the restore command first), on a fresh connection.
int PortRun::RunUpdate(bool restore) {
  if (!Connect()) return ExitStatusFor(outcome_.result);
  if (!NextStepMayRun()) return kExitDeviceFailed;
  restoreMode_ = restore;
  if (!DrawBoardImage()) return kExitDeviceFailed;
  return RetryAfterTimeOut(Transfer(restore), restore);
}

// The erase alone; the command is the user's confirmation.
int PortRun::RunErase() {
  if (!Connect()) return ExitStatusFor(outcome_.result);
  if (!NextStepMayRun()) return kExitDeviceFailed;
  BeginAction(outcome_, Action::Erase);
  const Seconds timeout = std::max(Seconds(options_.waitSeconds), DeviceActions::kEraseReplyTimeout);
  const Reply reply = actions_.Erase(timeout);
  if (actions_.Session().Lost() || interrupted_) return StatusFor(Action::Erase);  // said so already
  if (reply == Reply::None) {
    Fail(ActionResult::DeviceFailed, texts_.NotAnsweredText);
    return StatusFor(Action::Erase);
  }
  const std::string message = EraseMessage(reply);
  if (reply != Reply::EraseAccepted) {
    Fail(ActionResult::DeviceFailed, message);
  } else {
    outcome_.result = ActionResult::Success;
    ShowMessage(message);
  }
  return StatusFor(Action::Erase);
}

// Waits for the device to power on, connects and updates.
int PortRun::RunWizard() {
  if (!ChoosePort()) return kExitPortFailed;
  BeginAction(outcome_, Action::Wizard);
  std::unique_ptr<DeadlineTimer> maxWait;
  if (options_.maxWaitSeconds) {
    maxWait = std::make_unique<DeadlineTimer>(
        DeadlineTimer::Clock::now() + std::chrono::seconds(*options_.maxWaitSeconds), [this] { MaxWaitPassed(); });
  }
  waitingForPowerOn_ = true;
  std::optional<ECommsError> openFailure;
  boardSeen_ = actions_.CatchPowerOn(port_, openFailure);
  waitingForPowerOn_ = false;
  maxWait.reset();
  output_.EndTransient();
  if (openFailure) return ReportOpenFailure(openFailure);
  if (!boardSeen_) {
    outcome_.result = ActionResult::DeviceFailed;
    return kExitDeviceFailed;
  }
  return RunUpdate(false);
}

// Opens the port and greets the bootloader; true once it has answered.
bool PortRun::Connect() {
  BeginAction(outcome_, Action::Connect);
  if (!ChoosePort()) return false;
  const bool logFrames = true;  // "Show Message" is on for the command line
  const ConnectResult result = actions_.Connect(port_, Seconds(options_.waitSeconds), logFrames);
  using Ending = ConnectResult::Ending;
  switch (result.ending) {
    case Ending::Connected:
      outcome_.result = ActionResult::Success;
      return true;
    case Ending::OpenFailed:
      ReportOpenFailure(result.openFailure);
      return false;
    case Ending::Stopped:
      Fail(ActionResult::DeviceFailed, "interrupted", false);
      return false;
    default:  // the failure has been told already
      if (outcome_.result == ActionResult::None) outcome_.result = ActionResult::DeviceFailed;
      return false;
  }
}

// The port named on the command line, else the last one listed.
bool PortRun::ChoosePort() {
  if (options_.port) {
    port_.devicePath = PortDevicePath(*options_.port);
    return true;
  }
  const std::vector<std::string> listed = ListSerialPortNames();
  if (listed.empty()) {
    Fail(ActionResult::PortFailed, OpenFailureMessage("Operation aborted"));
    output_.Note("no serial port is listed");
    return false;
  }
  port_.devicePath = PortDevicePath(listed.back());
  return true;
}

// Says why the port would not open, in the system's words where it gave
// any, with the permission hint when that is the reason.
int PortRun::ReportOpenFailure(const std::optional<ECommsError>& failure) {
  if (!failure) return kExitPortFailed;
  Fail(ActionResult::PortFailed, OpenFailureMessage(failure->what()));
  std::string why = failure->SystemError() ? failure->SystemError().message() : std::string(failure->what());
  while (!why.empty() && why.back() == ' ') why.pop_back();
  output_.Note("cannot open " + port_.devicePath + ": " + why);
  if (const auto hint = PermissionHint(port_.devicePath, ProbeDeviceAccess(port_.devicePath))) output_.Note(*hint);
  return kExitPortFailed;
}

// The board's own image, drawn once its bootloader has answered and before
// the erase, so that a number is reserved only for a board that is there.
// False when none may be written; the board is then left as it was.
bool PortRun::DrawBoardImage() {
  if (!boards_) return true;
  board_ = boards_->Draw();
  if (board_->poolOutOfReach) WaitForNumberPool();
  if (!board_->image) {
    Fail(ActionResult::DeviceFailed, interrupted_ ? "interrupted" : board_->refusal, false);
    if (!interrupted_) output_.Note(board_->refusal);
    return false;
  }
  const BoardWrites& writes = options_.boardWrites;
  if (board_->serial) {
    output_.Note("serial number " + std::to_string(board_->serial->number) + " (" + writes.serialFormat.Name() +
                 ") at " + DeviceAddressText(*writes.serialAddress));
  }
  if (board_->data)
    output_.Note("board data " + HexText(*board_->data) + " at " + DeviceAddressText(*writes.boardDataAt));
  return true;
}

// The board keeps its connection and asks the pool again now and then, until
// a number comes, the port is lost or the run is interrupted. The wait is on
// the event queue: an interrupt ends it at once.
void PortRun::WaitForNumberPool() {
  output_.WaitingForNumber(board_->refusal);
  while (board_->poolOutOfReach && NextStepMayRun()) {
    const Clock::time_point retryAt = Clock::now() + kPoolRetry;
    while (Clock::now() < retryAt && NextStepMayRun()) loop_.WaitForEvents(retryAt);
    if (NextStepMayRun()) board_ = boards_->Draw();
  }
}

// The board's record, with the same facts as the JSON "end" object. A board
// that came is recorded however far it got.
void PortRun::FinishBoard(int status) {
  if (!boards_ || !boardSeen_ || port_.devicePath.empty()) return;
  records::BoardRecord record;
  record.port = options_.port.value_or(port_.devicePath);
  record.slot = ConnectorName(port_.devicePath, record.port);
  record.started = UtcTimestamp(started_);
  record.ended = UtcTimestamp(std::chrono::system_clock::now());
  record.file = AbsoluteFile(options_);
  if (const auto& version = outcome_.version) {
    record.bootloaderVersion = std::to_string(version->major) + "." + std::to_string(version->minor);
    record.oldVersion = version->oldVersionHex;
    record.restorePoint = version->restorePointHex;
  }
  record.result = ResultWord(status);
  record.reason = outcome_.portError ? std::string(PortErrorKindName(outcome_.portError.kind)) : outcome_.reason;
  record.attempts = retries_ + 1;
  record.interrupted = outcome_.interrupted;
  const BoardImage drawn = board_.value_or(BoardImage{});
  if (const std::string error = boards_->Finish(drawn, std::move(record)); !error.empty()) output_.Note(error);
}

// Writes the image once; the outcome's closing lines are printed.
int PortRun::Transfer(bool restore) {
  BeginAction(outcome_, Action::Update);
  const Clock::time_point start = Clock::now();
  const FirmwareImage& image = board_ && board_->image ? *board_->image : *image_;
  const TransferOutcome transfer = actions_.Update(image, restore, Seconds(options_.waitSeconds));
  return EndTransfer(transfer, start);
}

int PortRun::EndTransfer(const TransferOutcome& transfer, Clock::time_point start) {
  using Ending = TransferOutcome::Ending;
  outcome_.transfer = transfer;
  output_.EndTransient();
  if (transfer.ending == Ending::Written) {
    if (actions_.Session().LastCloseLostFrames()) {
      Fail(ActionResult::DeviceFailed, texts_.LastFramesNotSentText);
    } else {
      const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
      outcome_.result = ActionResult::Success;
      outcome_.elapsed = elapsed;
      outcome_.closingLines = {FinishedLine(texts_, elapsed)};
      ShowMessage(texts_.FinishUpdateText);
    }
  } else if (transfer.ending == Ending::Stopped || interrupted_) {
    Fail(ActionResult::DeviceFailed, "interrupted", false);
  } else {
    TransferEndingTexts shown = TextsForEnding(transfer.ending, texts_);
    outcome_.closingLines = std::move(shown.closingLines);
    if (shown.reason.empty() && transfer.ending == Ending::NoData) {
      outcome_.result = ActionResult::Success;
    } else {
      Fail(ActionResult::DeviceFailed, shown.reason, shown.inMessageBox);
    }
  }
  for (const std::string& line : outcome_.closingLines) output_.Line(line);
  return StatusFor(Action::Update);
}

// A transfer cut short by a time-out keeps its connection: the same image
// is written again from the erase, up to Options::retries times.
int PortRun::RetryAfterTimeOut(int status, bool restore) {
  const auto timedOut = [this] {
    return outcome_.transfer && outcome_.transfer->ending == TransferOutcome::Ending::TimedOut;
  };
  while (retries_ < options_.retries && timedOut() && NextStepMayRun()) {
    ++retries_;
    output_.Note("timed out; writing again from the erase (" + std::to_string(retries_) + " of " +
                 std::to_string(options_.retries) + ")");
    status = Transfer(restore);
  }
  return status;
}

// Handles what arrived between two steps (an interrupt among it).
bool PortRun::NextStepMayRun() {
  loop_.ProcessPendingEvents();
  return !interrupted_ && actions_.IsOpen();
}

// The first failure of an action is what it comes to.
void PortRun::Fail(ActionResult result, const std::string& reason, bool shown) {
  if (outcome_.result == ActionResult::None || outcome_.result == ActionResult::Success) {
    outcome_.result = result;
    outcome_.reason = reason;
  }
  if (shown) ShowMessage(reason);
}

// An action that never started (an earlier one failed first) fails.
int PortRun::StatusFor(Action expected) const {
  if (outcome_.action != expected && outcome_.result == ActionResult::Success) return kExitDeviceFailed;
  return ExitStatusFor(outcome_.result);
}

// ---- what the actions tell ------------------------------------------------

void PortRun::Logged(const LogEntry& entry) {
  for (const std::string& line : ReceiveLogLines(entry, texts_, restoreMode_)) ShowLine(line);
  if (const auto* version = std::get_if<VersionReply>(&entry)) outcome_.version = *version;
}

void PortRun::RequestNotQueued() { ShowLine(kFailToSendText); }

void PortRun::GreetingFailed() { Fail(ActionResult::DeviceFailed, texts_.ConnectFailText); }

void PortRun::Progressed(const TransferProgress& progress) {
  if (const std::optional<ProgressSample> sample = progress_.Update(progress, ProgressTracker::Clock::now())) {
    output_.Progress(*sample);
  }
}

// Said once the port is open: a device switched on from here on is caught.
void PortRun::PowerOnWaitStarted() { ShowLine(texts_.WaitPowerText); }

void PortRun::PowerOnWaited(long seconds) { output_.Waiting(texts_.WaitPowerText + ":" + std::to_string(seconds)); }

void PortRun::PortLost() {
  Fail(ActionResult::DeviceFailed, texts_.PortLostText);
  NotePortError(actions_.Session().LossReason());
}

// The system's reason for a port failure, on standard error and in the outcome.
void PortRun::NotePortError(const PortError& error) {
  if (!error || outcome_.portError) return;
  outcome_.portError = error;
  std::string note = "port " + port_.devicePath + ": " + std::string(PortErrorKindName(error.kind));
  if (error.systemError) note += ": " + error.systemError.message();
  output_.Note(note);
}

void PortRun::ShowLine(std::string_view line) {
  if (!options_.quiet) output_.Line(line);
}

// A message box closes what the terminal showed in passing.
void PortRun::ShowMessage(std::string_view text) {
  output_.EndTransient();
  for (const std::string& line : SplitLines(text)) output_.Line(line);
}

}  // namespace mx::flash
