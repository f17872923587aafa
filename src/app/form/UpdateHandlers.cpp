// The Update button's run: choose a file, remember it, read it, and start the
// transfer (after the restore command in restore mode).

#include <optional>
#include <string>
#include <string_view>

#include "app/form/UpdaterForm.h"
#include "trust/TrustedFiles.h"

namespace mx {

namespace {

// "hex Files|*U0102.03*.hex|All Files|*.*" for the version digits "010203";
// digits a shorter text lacks are simply absent.
std::string UpdateFileFilter(std::string_view version) {
  const std::string_view major = version.substr(0, 4);
  const std::string_view minor = version.size() > 4 ? version.substr(4, 2) : std::string_view{};
  return "hex Files|*U" + std::string(major) + "." + std::string(minor) + "*.hex|All Files|*.*";
}

// The version digits the connect logged, or none before any.
const std::string& LoggedVersion(const ReceiveLog& log, bool restoreMode) {
  return restoreMode ? log.RestorePointHex() : log.OldVersionHex();
}

}  // namespace

std::string LastPathComponent(const std::string& path) {
  const std::size_t separator = path.find_last_of("\\/");
  return separator == std::string::npos ? path : path.substr(separator + 1);
}

void UpdaterForm::BtnFileOpenClick() {
  if (!State(Control::BtnFileOpen).enabled) {
    // Clicked from code: send a held image again (a cut-short run), else nothing.
    controls_.SetCaption(Control::Label11, "");
    if (!ImageHeld()) return;
    BeginAction(outcome_, Action::Update);
    StartTransfer();
    return;
  }

  const std::optional<std::string> path =
      view_.ChooseFile(UpdateFileFilter(LoggedVersion(actions_.Log(), state_.restoreMode)));
  if (!path) return;

  BeginAction(outcome_, Action::Update);
  const std::optional<ImageReading> reading = ReadTrustedFile(*path);
  if (!reading) return;  // as if cancelled: the file held and the controls stay
  bool accepted = true;
  try {
    settings_.Store("Filename", *path);
  } catch (const std::exception& error) {
    ReportFailure(ActionResult::FileRefused, error.what(), FailureNotice::BeepAndMessage);
    image_.reset();
    accepted = false;
  }
  if (accepted) {
    controls_.SetEnabled(Control::BtnRestore, false);
    controls_.SetEnabled(Control::BtnFileOpen, false);
    controls_.SetProgressPosition(0);
    accepted = TakeReading(*path, *reading);
  }
  if (!accepted) {
    controls_.SetEnabled(Control::BtnFileOpen, true);
    controls_.SetEnabled(Control::Button_Send, false);
    return;
  }
  controls_.SetEnabled(Control::Button_Send, true);
  StartTransfer();
}

bool UpdaterForm::ReadHexFile(const std::string& Path) {
  const std::optional<ImageReading> reading = ReadTrustedFile(Path);
  return reading && TakeReading(Path, *reading);
}

std::optional<ImageReading> UpdaterForm::ReadTrustedFile(const std::string& path) {
  // Read at every choice, so keys installed or removed meanwhile count.
  const trust::TrustedKeys trusted = trust::LoadTrustedKeys({*services_.trustedKeysFolder}, {});
  std::string refusal;
  if (!trusted.error.empty()) refusal = Texts().TrustedKeysFaultText + trusted.error;
  trust::SignedImageReading read;
  if (refusal.empty()) {
    read = trust::ReadSignedFirmwareFile(path, trusted.keys, services_.firmwareDigest);
    if (!read.signatureRefusal.empty()) refusal = Texts().UnsignedFileText + read.signatureRefusal;
  }
  if (refusal.empty()) return std::move(read.reading);
  ReportFailure(ActionResult::FileRefused, refusal, FailureNotice::BeepAndMessage);
  return std::nullopt;
}

bool UpdaterForm::TakeReading(const std::string& path, const ImageReading& reading) {
  image_.reset();  // a reading always replaces the image; a refused one leaves none
  if (reading.fileRead) {
    controls_.SetCaption(Control::Label11, Texts().UpdateFileNameText + ":" + LastPathComponent(path));
    controls_.SetCaption(Control::LabelTimeout, "Hex File Openning...");
    for (const AddressFault& fault : reading.addressFaults) controls_.MemoAppend(AddressFaultText(fault) + "\r\n");
    controls_.SetCaption(Control::Label7, std::to_string(reading.linesExamined));
  }
  if (!reading.image) {
    ReportFailure(ActionResult::FileRefused, reading.refusal,
                  reading.refusalBeeps ? FailureNotice::BeepAndMessage : FailureNotice::Message);
    return false;
  }
  controls_.SetProgressMax(reading.image->DataRecordCount());
  image_ = reading.image;
  return true;
}

void UpdaterForm::StartTransfer() {
  controls_.SetEnabled(Control::BtnFileOpen, false);
  controls_.SetEnabled(Control::BtnRestore, false);
  controls_.SetCaption(Control::LabelTimeout, "");
  if (state_.restoreMode) actions_.SendRestore(controls_.Checked(Control::TestData_CB));
  Button_SendClick();
}

}  // namespace mx
