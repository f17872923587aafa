// The transfer as the window shows it: the controls it takes while it runs,
// the progress bar and percentage per data record, and its endings.

#include <charconv>
#include <chrono>
#include <cmath>
#include <string>

#include "app/form/UpdaterForm.h"

namespace mx {

namespace {

// Whole milliseconds as seconds in general form: "12.516", "3", "0.05".
std::string FormatSeconds(std::chrono::milliseconds elapsed) {
  char text[32];
  const double seconds = static_cast<double>(elapsed.count()) / 1000.0;
  const auto result = std::to_chars(text, text + sizeof text, seconds, std::chars_format::general, 15);
  return std::string(text, result.ptr);
}

// The window refuses to close while a transfer runs; cleared on every way out.
class UpdatingFlag {
 public:
  explicit UpdatingFlag(bool& flag) : flag_(flag) { flag_ = true; }
  ~UpdatingFlag() { flag_ = false; }
  UpdatingFlag(const UpdatingFlag&) = delete;
  UpdatingFlag& operator=(const UpdatingFlag&) = delete;

 private:
  bool& flag_;
};

// The labels and the outcome of each ending but a written image, which
// FinishUpdate reports.
struct EndingShown {
  std::string labelTimeout;
  std::string label7;
  ActionResult result;
  std::string reason;
  std::vector<std::string> closingLines;
  bool inMessageBox = false;  // the reason is shown in a message box
};

EndingShown ShownFor(TransferOutcome::Ending ending, const LanguageTexts& texts) {
  using Ending = TransferOutcome::Ending;
  constexpr const char* kStop = "Program Stop Update!";
  switch (ending) {
    case Ending::PortLost:  // its message and the disconnected state are shown already
      return {"", kStop, ActionResult::DeviceFailed, texts.PortLostText, {kStop}};
    case Ending::TimedOut:
      return {"Time Out!", kStop, ActionResult::DeviceFailed, "Time Out!", {"Time Out!", kStop}};
    case Ending::NoData:  // the window shows nothing more and keeps the port open
      return {"", "", ActionResult::Success, "", {texts.NoDataText}};
    case Ending::NotAnswered:
      return {"", "", ActionResult::DeviceFailed, texts.NotAnsweredText, {}, true};
    default:
      return {"", "", ActionResult::DeviceFailed, "", {}};
  }
}

// The progress bar and the percentage follow the data records. Records after
// the end record count too; a file without data records before it has no
// 100 % mark.
void ShowProgress(FormControls& controls, const TransferProgress& progress) {
  controls.SetProgressPosition(progress.records);
  const int maximum = controls.ProgressMax();
  const long percent = maximum > 0 ? std::lround(progress.records * 100.0 / maximum) : 100;
  controls.SetCaption(Control::Label_Percent, std::to_string(percent) + "%");
}

}  // namespace

void UpdaterForm::Button_SendClick() {
  SendFirmware({false, controls_.Checked(Control::TestData_CB), ReplyTimeout(controls_)});
}

void UpdaterForm::SendFirmware(const TransferPlan& plan) {
  controls_.SetEnabled(Control::Button_Send, false);
  const Clock::time_point start = Clock::now();
  controls_.SetEnabled(Control::BtnFileOpen, false);
  controls_.SetEnabled(Control::Button_Open, false);
  UpdatingFlag updating(state_.updating);
  controls_.SetEnabled(Control::BtnErase, false);
  if (plan.testMode) {
    controls_.StartAnimation();
    controls_.SetCaption(Control::LabelTimeout, "TEST DATA");
    controls_.SetCaption(Control::Label7, "Write Data Waiting...");
  }

  // The run writes the image it started with, even if a handler run from
  // inside a wait reads another file meanwhile; without one it writes nothing.
  const std::shared_ptr<const FirmwareImage> image =
      image_ ? image_ : std::make_shared<const FirmwareImage>(std::vector<std::string>{});
  const TransferOutcome outcome = RunTransfer(session_, *image, plan, [this](const TransferProgress& progress) {
    ShowProgress(controls_, progress);
    view_.TransferProgressed(progress);
  });
  if (outcome.ending == TransferOutcome::Ending::EraseOnly) {
    controls_.SetEnabled(Control::Button_Open, true);
    outcome_.transfer = outcome;
    return;
  }
  if (outcome.wentThrough) image_.reset();  // sent through: released; cut short: kept for another run
  state_.updating = false;
  EndTransfer(outcome, start);
}

void UpdaterForm::EndTransfer(const TransferOutcome& outcome, Clock::time_point start) {
  using Ending = TransferOutcome::Ending;
  outcome_.transfer = outcome;
  const Ending ending = session_.Lost() ? Ending::PortLost : outcome.ending;
  if (ending == Ending::TestSent) {
    // Nothing was acknowledged: say what happened and keep the port open.
    controls_.StopAnimation();
    controls_.SetCaption(Control::Label7, "");
    controls_.SetCaption(Control::Label11, "TEST DATA sent, not verified");
    controls_.SetEnabled(Control::Button_Open, true);
    outcome_.result = ActionResult::None;
    return;
  }
  if (ending == Ending::Written) return FinishUpdate(start);
  EndingShown shown = ShownFor(ending, Texts());
  controls_.SetCaption(Control::LabelTimeout, shown.labelTimeout);
  controls_.SetCaption(Control::Label7, shown.label7);
  controls_.StopAnimation();
  // Every ending leaves Connect usable: connected, a click disconnects and
  // the next one connects afresh.
  controls_.SetEnabled(Control::Button_Open, true);
  outcome_.closingLines = std::move(shown.closingLines);
  if (shown.result == ActionResult::Success) return ReportSuccess();
  ReportFailure(shown.result, shown.reason, shown.inMessageBox ? FailureNotice::Message : FailureNotice::None);
}

// The last block was accepted and the version request queued: close the port
// once they have left it, and report the time taken, unless the device held
// them back too long.
void UpdaterForm::FinishUpdate(Clock::time_point start) {
  controls_.SetCaption(Control::LabelTimeout, "");
  controls_.SetCaption(Control::Label7, "");
  controls_.StopAnimation();
  SetConnectState(false);
  if (session_.LastCloseLostFrames()) {
    controls_.SetCaption(Control::Label11, Texts().LastFramesNotSentText);
    ReportFailure(ActionResult::DeviceFailed, Texts().LastFramesNotSentText, FailureNotice::Message);
  } else {
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    const std::string finished = Texts().FinishUpdateText + "! " + FormatSeconds(elapsed) + "Sec.";
    controls_.SetCaption(Control::Label11, finished);
    ReportSuccess();
    outcome_.elapsed = elapsed;
    outcome_.closingLines = {finished};
    view_.ShowMessage(Texts().FinishUpdateText);
  }
  controls_.SetEnabled(Control::Button_Open, true);
}

}  // namespace mx
