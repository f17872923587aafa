#pragma once

// The main window's behaviour, written once without widgets. Handlers keep
// the window's names (Button_OpenClick, FormCloseQuery, ...) and present the
// device actions (actions/): they start them, and map their events and
// outcomes onto the window's controls, captions and memo lines. By subject:
//   UpdaterForm.cpp           start-up, settings, options, close guard
//   ConnectionState.cpp       port list, opening and closing, the vanished port
//   ReceiveDisplay.cpp        what arrives and the waits, as the window shows them
//   ConnectHandlers.cpp       the Connect button
//   UpdateHandlers.cpp        the Update button: file choice and reading
//   TransferHandlers.cpp      the transfer as the window shows it
//   DeviceActionHandlers.cpp  Update Wizard, Restore, Erase, the actions' events
// Everything runs on the thread of `loop`. A wait for the device handles
// that thread's events, so handlers can run nested inside an action.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "actions/ActionOutcome.h"
#include "actions/DeviceActions.h"
#include "app/LanguageTexts.h"
#include "app/form/FormControls.h"
#include "app/form/FormSettings.h"
#include "app/form/FormView.h"
#include "app/form/ReceiveDisplay.h"
#include "protocol/DeviceSession.h"
#include "serial/EventLoop.h"
#include "update/FirmwareImage.h"
#include "update/Transfer.h"

namespace mx {

// What the form asks of its surroundings; the defaults are the real host.
struct FormServices {
  // Directory of "Comport.ini" (ending with a separator). Without one the form
  // reads and writes no settings: the language and "Show Message" below apply.
  std::optional<std::string> settingsDirectory;
  std::string language = "ENG";
  bool showMessages = true;

  std::function<std::vector<std::string>()> listSerialPorts;      // default: ListSerialPortNames
  std::function<std::string(const std::string&)> portDevicePath;  // default: PortDevicePath
  // Called by the connect step's fatal error handler with the program's own
  // executable name; the default ends this process, and only it.
  std::function<bool(const std::string&)> killProcessByName;  // default: EndThisProcess
  std::string ownExecutableName = "mx_7410Update.exe";
  // Names the bytes of every firmware file read, for a front end that
  // records what it flashed (default: none).
  FileDigest firmwareDigest;
  // The folder of the keys that must have signed every firmware file the
  // window takes, when it holds at least one. Default: "trusted-keys" beside
  // the program, where only an administrator installs keys.
  std::optional<std::string> trustedKeysFolder;
  // The window greets even a port that failed to open, so its user sees the
  // open's message and then the connect's; a script wants the first alone.
  bool greetUnopenedPort = true;
};

// The window's flags, all program-wide state of its thread.
struct WindowState : ReceiveModes {
  bool connected = false;   // FConnected
  bool portClosed = false;  // PortClosed
  bool updating = false;    // Updating: a transfer runs; the window refuses to close
};

class UpdaterForm final : private ActionEvents {
 public:
  static constexpr int kDesignedWidth = 907;
  static constexpr int kDesignedHeight = 223;
  static constexpr int kMessagePanelGrowth = 400;  // pixels
  // Restarts of the connect handshake in a row before it gives up.
  static constexpr int kMaxHandshakeRestarts = DeviceActions::kMaxGreetingRestarts;

  UpdaterForm(EventLoop& loop, FormView& view, FormServices services = {});
  ~UpdaterForm() override;
  UpdaterForm(const UpdaterForm&) = delete;
  UpdaterForm& operator=(const UpdaterForm&) = delete;

  // ---- What a view shows -------------------------------------------------
  const FormControls& Controls() const { return controls_; }
  const ControlState& State(Control control) const { return controls_.State(control); }
  const LanguageTexts& Texts() const { return *language_.texts; }
  Language CurrentLanguage() const { return language_.language; }
  std::string SettingsPath() const { return settings_.Path(); }  // empty without a settings directory

  // ---- Input from a view -------------------------------------------------
  // The user clicked an enabled button or menu entry.
  void Click(Control control);
  // The user changed a check box; runs its handler.
  void SetCheckedByUser(Control control, bool checked);
  // The user edited ComboBox1, ComboBoxwWait, EditXoff or EditXon.
  void SetTextByUser(Control control, std::string text);
  // The user edited the memo (while it is editable).
  void SetMemoTextByUser(std::string text);

  // ---- Clicks and changes made in code -----------------------------------
  // Runs the handler whatever the control's enabled or visible state; an
  // error that escapes it is shown in a message box.
  void ClickInCode(Control control);
  // Changes a check box; when the state changes its handler runs.
  void SetChecked(Control control, bool checked);

  // ---- Handlers, by the window's names -------------------------------------
  // start-up and options (UpdaterForm.cpp)
  void FormCreate();
  void CBShowmagClick();
  void TestData_CBClick();
  void BtnClearMemoClick();
  void EditXoffChange();
  void EditXonChange();
  void FormCloseQuery(bool& CanClose);
  void BtnHelpClick();
  // connection state (ConnectionState.cpp)
  std::string ListSerialPorts();  // throws OperationAborted
  void SetConnectState(bool connected);
  // The port vanished (an unplugged adapter): one message, the disconnected
  // state; a wait in progress has ended, and its action ends quietly.
  void Comm1RequestHangup();
  bool ConfirmDisconnect();
  void DisConnect1Click();
  void ComboBox1Change();
  // the device (ConnectHandlers.cpp, DeviceActionHandlers.cpp)
  void Button_OpenClick();
  void SetBootloader1Click();
  void Set_BootloaderClick();
  void BtnRestoreClick();
  void Restore1Click();
  void BtnEraseClick();
  // firmware image and update (UpdateHandlers.cpp, TransferHandlers.cpp)
  // Reads a firmware file and holds its image; false when refused. A file
  // the trusted keys refuse changes nothing, not even the image held.
  bool ReadHexFile(const std::string& Path);
  void Button_SendClick();
  void BtnFileOpenClick();

  // ---- Program-wide state ------------------------------------------------
  TComm& Comm1() { return actions_.Port(); }
  const DeviceSession& Session() const { return actions_.Session(); }
  bool FConnected() const { return state_.connected; }
  const WindowState& Flags() const { return state_; }
  Reply LastReply() const { return actions_.Session().LastReply(); }  // ReplyWord
  bool ImageHeld() const { return image_ != nullptr; }
  // How the last action ended.
  const ActionOutcome& LastOutcome() const { return outcome_; }

  // The silent abort of a failed port listing ("Operation aborted").
  class OperationAborted : public std::runtime_error {
   public:
    OperationAborted() : std::runtime_error("Operation aborted") {}
  };

 private:
  // How a failure is told to the user besides the outcome.
  enum class FailureNotice { None, Message, BeepAndMessage };
  // The one way an action fails: the outcome takes `result` and `reason`
  // (unless the action has failed already: its first failure is what it
  // comes to), and the user is told as `notice` says.
  void ReportFailure(ActionResult result, const std::string& reason, FailureNotice notice);
  void ReportSuccess();
  // Update and Restore, usable once the bootloader has answered on the open
  // port (or at once in "Code Report", which sends no erase).
  void EnableDeviceActions();

  // The chosen file read once, with its signature when keys are installed;
  // nullopt when the keys or the signature refuse it (the user was told).
  std::optional<ImageReading> ReadTrustedFile(const std::string& path);
  // Shows a reading and holds its image; false when the file was refused.
  bool TakeReading(const std::string& path, const ImageReading& reading);

  bool RunHandshake();
  bool OpenPortForGreeting();
  void SendFirmware(const TransferPlan& plan);
  void EndTransfer(const TransferOutcome& outcome, Clock::time_point start);
  void FinishUpdate(Clock::time_point start);
  void StartTransfer();
  bool OpenPortForWizard();

  // What the device actions tell (DeviceActionHandlers.cpp).
  void Logged(const LogEntry& entry) override { receive_.Logged(entry); }
  void VersionReceived(const VersionReply& version) override { receive_.VersionReceived(version); }
  bool LogsFrames() override { return receive_.LogsFrames(); }
  bool TakesRaw() override { return receive_.TakesRaw(); }
  void RawReceived(std::span<const std::uint8_t> chunk) override { receive_.RawReceived(chunk); }
  void WaitStarted() override { receive_.WaitStarted(); }
  void WaitEnded(Reply reply) override { receive_.WaitEnded(reply); }
  void RequestNotQueued() override;
  void GreetingFailed() override;
  bool FollowsGreetingRestarts() override;
  void GreetingRestarts() override;
  void Progressed(const TransferProgress& progress) override;
  void PowerOnWaitStarted() override;
  void PowerOnWaited(long seconds) override;
  void PortLost() override { Comm1RequestHangup(); }

  // The language chosen at start.
  struct ChosenLanguage {
    Language language = Language::None;
    const LanguageTexts* texts = nullptr;
  };
  FormView& view_;
  FormServices services_;
  FormControls controls_;
  FormSettings settings_;
  WindowState state_;
  ActionOutcome outcome_;
  ChosenLanguage language_;
  ReceiveDisplay receive_;
  DeviceActions actions_;
  std::shared_ptr<const FirmwareImage> image_;  // the firmware image read last, while held
  bool inFormCreateStep1_ = false;              // the first check of "Show Message" stores nothing
};

// The text after the last "\" or "/" of `path`: the whole text without one,
// the empty text when it ends with one.
std::string LastPathComponent(const std::string& path);

// Ends this process at once with exit status 1; the name is not used.
bool EndThisProcess(const std::string& ownExecutableName);

// The reply time-out in the hidden wait-time box, read at every wait: 3
// seconds, or 5 once an erase has run.
std::chrono::duration<double> ReplyTimeout(const FormControls& controls);

}  // namespace mx
