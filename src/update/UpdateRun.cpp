// The Update button's run: choose a file, remember it, read it, and start the
// transfer (after the restore command in restore mode).

#include <chrono>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "app/UpdaterForm.h"
#include "protocol/Frames.h"

namespace mx {

namespace {

// The device wants this much quiet after the restore command.
constexpr double kRestorePauseSeconds = 0.05;

// "hex Files|*U0102.03*.hex|All Files|*.*" for the version digits "010203";
// digits a shorter text lacks are simply absent.
std::string UpdateFileFilter(std::string_view version) {
  const std::string_view major = version.substr(0, 4);
  const std::string_view minor = version.size() > 4 ? version.substr(4, 2) : std::string_view{};
  return "hex Files|*U" + std::string(major) + "." + std::string(minor) + "*.hex|All Files|*.*";
}

}  // namespace

std::string LastPathComponent(const std::string& path) {
  const std::size_t separator = path.find_last_of("\\/");
  return separator == std::string::npos ? path : path.substr(separator + 1);
}

void UpdaterForm::BusyWait(double seconds) {
  if (!(seconds > 0)) return;
  const Clock::time_point deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  // No events are handled meanwhile: the window stays frozen for the pause.
  while (Clock::now() < deadline) std::this_thread::sleep_until(deadline);
}

void UpdaterForm::BtnFileOpenClick() {
  if (!State(Control::BtnFileOpen).enabled) {
    // Clicked from code: send a held image again (a cut-short run), else nothing.
    SetCaption(Control::Label11, "");
    if (ImageHeld()) StartTransfer();
    return;
  }

  const std::string& version = restoreMode_ ? receiver_.restorePointHex : receiver_.oldVersionHex;
  const std::optional<std::string> path = view_.ChooseFile(UpdateFileFilter(version));
  if (!path) return;

  bool accepted = RememberChosenFile(*path);
  if (accepted) {
    SetEnabled(Control::BtnRestore, false);
    SetEnabled(Control::BtnFileOpen, false);
    SetProgressPosition(0);
    accepted = ReadHexFile(*path);
  }
  if (!accepted) {
    SetEnabled(Control::BtnFileOpen, true);
    SetEnabled(Control::Button_Send, false);
    return;
  }
  SetEnabled(Control::Button_Send, true);
  StartTransfer();
}

bool UpdaterForm::RememberChosenFile(const std::string& path) {
  if (!services_.settingsDirectory) return true;  // no settings file to write
  try {
    StoreSetting("Filename", path);
    return true;
  } catch (const std::exception& error) {
    ShowError(error.what());
    hexLines_.reset();
    lastResult_ = ActionResult::FileRefused;
    return false;
  }
}

void UpdaterForm::StartTransfer() {
  SetEnabled(Control::BtnFileOpen, false);
  SetEnabled(Control::BtnRestore, false);
  SetCaption(Control::LabelTimeout, "");
  if (restoreMode_) {
    SendFrame(kRestoreFrame);
    BusyWait(kRestorePauseSeconds);
  }
  Button_SendClick();
}

}  // namespace mx
