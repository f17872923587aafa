// The transfer as the window shows it: the controls it takes while it runs,
// the progress bar and percentage per data record, and its endings.

#include <chrono>
#include <cmath>
#include <string>

#include "app/ActionTexts.h"
#include "app/form/UpdaterForm.h"

namespace mx {

namespace {

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

// The labels of each ending but a written image, which FinishUpdate shows.
struct EndingLabels {
  std::string labelTimeout;
  std::string label7;
};

EndingLabels LabelsFor(TransferOutcome::Ending ending) {
  using Ending = TransferOutcome::Ending;
  if (ending == Ending::PortLost) return {"", kStopUpdateText};
  if (ending == Ending::TimedOut) return {kTimeOutText, kStopUpdateText};
  return {};
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
  const TransferOutcome outcome = actions_.Transfer(*image, plan);
  if (outcome.ending == TransferOutcome::Ending::EraseOnly) {
    controls_.SetEnabled(Control::Button_Open, true);
    outcome_.transfer = outcome;
    return;
  }
  if (outcome.wentThrough) image_.reset();  // sent through: released; cut short: kept for another run
  state_.updating = false;
  EndTransfer(outcome, start);
}

void UpdaterForm::Progressed(const TransferProgress& progress) {
  ShowProgress(controls_, progress);
  view_.TransferProgressed(progress);
}

void UpdaterForm::EndTransfer(const TransferOutcome& outcome, Clock::time_point start) {
  using Ending = TransferOutcome::Ending;
  outcome_.transfer = outcome;
  const Ending ending = outcome.ending;
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
  const EndingLabels labels = LabelsFor(ending);
  TransferEndingTexts shown = TextsForEnding(ending, Texts());
  controls_.SetCaption(Control::LabelTimeout, labels.labelTimeout);
  controls_.SetCaption(Control::Label7, labels.label7);
  controls_.StopAnimation();
  // Every ending leaves Connect usable: connected, a click disconnects and
  // the next one connects afresh.
  controls_.SetEnabled(Control::Button_Open, true);
  outcome_.closingLines = std::move(shown.closingLines);
  // A file without data: erased, the end frame sent, the port kept open.
  if (ending == Ending::NoData) return ReportSuccess();
  ReportFailure(ActionResult::DeviceFailed, shown.reason,
                shown.inMessageBox ? FailureNotice::Message : FailureNotice::None);
}

// The last block was accepted and the version request queued: close the port
// once they have left it, and report the time taken, unless the device held
// them back too long.
void UpdaterForm::FinishUpdate(Clock::time_point start) {
  controls_.SetCaption(Control::LabelTimeout, "");
  controls_.SetCaption(Control::Label7, "");
  controls_.StopAnimation();
  SetConnectState(false);
  if (actions_.Session().LastCloseLostFrames()) {
    controls_.SetCaption(Control::Label11, Texts().LastFramesNotSentText);
    ReportFailure(ActionResult::DeviceFailed, Texts().LastFramesNotSentText, FailureNotice::Message);
  } else {
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    const std::string finished = FinishedLine(Texts(), elapsed);
    controls_.SetCaption(Control::Label11, finished);
    ReportSuccess();
    outcome_.elapsed = elapsed;
    outcome_.closingLines = {finished};
    view_.ShowMessage(Texts().FinishUpdateText);
  }
  controls_.SetEnabled(Control::Button_Open, true);
}

}  // namespace mx
