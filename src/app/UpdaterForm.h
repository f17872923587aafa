#pragma once

// The main window's behaviour, written once without widgets: the state of
// every control, the settings, the connection state, the bootloader protocol,
// the firmware update and the device actions. Handlers keep the window's
// names (Button_OpenClick, FormCloseQuery, ...). The work is split by
// subsystem over several files:
//   app/UpdaterForm.cpp         start-up, settings, options, close guard
//   app/ConnectionState.cpp     port discovery and connection state
//   protocol/ReplyHandling.cpp  receive handler and reply waiting
//   protocol/Handshake.cpp      the connect handshake
//   protocol/DeviceActions.cpp  Update Wizard, Restore, Erase
//   update/ReadHexFile.cpp      reading a firmware file into the image
//   update/Transfer.cpp         erasing and writing the image
//   update/UpdateRun.cpp        the Update button's run
// Everything here runs on the thread of `loop`. A wait for the device keeps
// that thread handling events, so handlers can run nested inside an action.

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/FormView.h"
#include "app/LanguageTexts.h"
#include "protocol/ReplyParser.h"
#include "serial/EventLoop.h"
#include "serial/SerialComm.h"

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
  // executable name; the default ends every process of that name.
  std::function<bool(const std::string&)> killProcessByName;  // default: KillProcessByName
  std::string ownExecutableName = "mx_7410Update.exe";
};

// How the last action ended, for front ends that report by exit status.
enum class ActionResult {
  None,          // nothing has ended yet
  Success,       // connected; image written; erase accepted
  DeviceFailed,  // no answer, refused, handshake failed, time-out
  FileRefused,   // the firmware file was refused or could not be read
  PortFailed,    // the port could not be opened
};

class UpdaterForm {
 public:
  static constexpr int kDesignedWidth = 907;
  static constexpr int kDesignedHeight = 223;
  static constexpr int kMessagePanelGrowth = 400;  // pixels

  UpdaterForm(EventLoop& loop, FormView& view, FormServices services = {});
  ~UpdaterForm();
  UpdaterForm(const UpdaterForm&) = delete;
  UpdaterForm& operator=(const UpdaterForm&) = delete;

  // ---- What a view shows -------------------------------------------------
  const ControlState& State(Control control) const { return controls_[static_cast<std::size_t>(control)]; }
  const std::string& MemoText() const { return memoText_; }
  bool MemoReadOnly() const { return memoReadOnly_; }
  int MemoFontPoints() const { return memoFontPoints_; }
  int ProgressPosition() const { return progressPosition_; }
  int ProgressMax() const { return progressMax_; }
  const std::vector<std::string>& PortItems() const { return portItems_; }
  const std::vector<std::string>& WaitItems() const { return waitItems_; }
  const LanguageTexts& Texts() const { return texts_; }
  Language CurrentLanguage() const { return language_; }
  std::string SettingsPath() const;  // empty without a settings directory

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
  // Runs the handler whatever the control's enabled or visible state.
  void ClickInCode(Control control);
  // Changes a check box; when the state changes its handler runs.
  void SetChecked(Control control, bool checked);

  // ---- Handlers, by the window's names -------------------------------------
  // start-up and options (app/UpdaterForm.cpp)
  void FormCreate();
  void CBShowmagClick();
  void TestData_CBClick();
  void BtnClearMemoClick();
  void EditXoffChange();
  void EditXonChange();
  void FormCloseQuery(bool& CanClose);
  void BtnHelpClick();
  // connection state (app/ConnectionState.cpp)
  std::string ListSerialPorts();  // throws OperationAborted
  void SetConnectState(bool connected);
  bool ConfirmDisconnect();
  void DisConnect1Click();
  void ComboBox1Change();
  // protocol (protocol/*.cpp)
  void Comm1ReceiveData(TComm& Sender, const std::uint8_t* Buffer, std::uint16_t BufferLength);
  // The port vanished (an unplugged adapter): one message, the disconnected
  // state, and any wait in progress ends at once.
  void Comm1RequestHangup();
  void ArmReceiver();
  void WaitForReply();
  void WaitReplyOrTimeout(double seconds);
  void Button_OpenClick();
  void SetBootloader1Click();
  void Set_BootloaderClick();
  void BtnRestoreClick();
  void Restore1Click();
  void BtnEraseClick();
  // firmware image and update (update/*.cpp)
  bool ReadHexFile(const std::string& Path);
  void Button_SendClick();
  void SendFirmware();
  void BtnFileOpenClick();

  // ---- Program-wide state ------------------------------------------------
  TComm& Comm1() { return comm_; }
  bool FConnected() const { return connected_; }
  bool PortClosed() const { return portClosed_; }
  bool Updating() const { return updating_; }
  bool WizardWaiting() const { return wizardWaiting_; }
  bool RestoreMode() const { return restoreMode_; }
  bool EraseOnly() const { return eraseOnly_; }
  const std::string& ReplyWord() const { return replyWord_; }
  bool ImageHeld() const { return hexLines_.has_value(); }
  const ReplyReceiver& Receiver() const { return receiver_; }
  ActionResult LastResult() const { return lastResult_; }
  // The port vanished since it was last opened.
  bool PortLost() const { return portLost_; }
  // The last update erased the device and wrote nothing: its file holds no
  // data records.
  bool LastUpdateHadNoData() const { return lastUpdateHadNoData_; }

  // The silent abort of a failed port listing ("Operation aborted").
  class OperationAborted : public std::runtime_error {
   public:
    OperationAborted() : std::runtime_error("Operation aborted") {}
  };

  // Restarts of the connect handshake in a row before it gives up.
  static constexpr int kMaxHandshakeRestarts = 3;
  // How long a close waits for queued frames to leave the port (closing
  // discards what is still queued).
  static constexpr std::chrono::milliseconds kDrainLimit{1000};

 private:
  // ---- control state plumbing (app/UpdaterForm.cpp)
  ControlState& Mutable(Control control) { return controls_[static_cast<std::size_t>(control)]; }
  void SetCaption(Control control, std::string caption);
  void SetEnabled(Control control, bool enabled);
  void SetVisible(Control control, bool visible);
  void StartAnimation();
  void StopAnimation();
  void MemoAppend(const std::string& line);  // line includes its CR LF
  void MemoReplace(std::string text);
  void SetMemoReadOnly(bool readOnly);
  void SetMemoFontPoints(int points);
  void SetProgressPosition(int position);
  void SetProgressMax(int maximum);
  void ShowError(const std::string& text);  // beep, then a message box
  void RunCheckBoxHandler(Control control);
  void InitialiseDesignedState();
  void ConfigureComm();
  void ApplyLanguageTexts();
  void StoreSetting(const std::string& key, const std::string& value);  // throws on failure
  void ChangeSerialChar(Control edit, Control codeLabel, void (TComm::*setter)(char));

  // ---- protocol helpers (protocol/*.cpp)
  void ShowRawChunk(const std::uint8_t* buffer, std::uint16_t length);
  bool RestartPatternInMemo() const;
  bool RunHandshake();
  bool StartHandshakeOver();
  void SendFrame(std::span<const std::uint8_t> frame);
  bool DrainOutput(std::chrono::milliseconds limit);

  // ---- update helpers (update/*.cpp)
  bool ReadAndCheckHexFile(const std::string& Path);
  void BusyWait(double seconds);
  enum class EraseEnd { Write, EraseOnly, TimedOut };
  EraseEnd EraseBeforeWriting(bool testMode);
  bool WriteImage(const std::vector<std::string>& image, bool testMode, int& records);  // false: cut short
  bool SendBlock(std::span<const std::uint8_t> frame, bool armFirst, bool testMode);    // false: time-out
  void ShowRecordProgress(int records);
  void EndTransfer(Clock::time_point start, bool testMode, int records);
  void EndLostTransfer();
  void FinishUpdate(Clock::time_point start);
  bool RememberChosenFile(const std::string& path);
  void StartTransfer();

  // ---- device action helpers (protocol/DeviceActions.cpp)
  bool OpenPortForWizard();
  bool WaitForPowerOn();
  void RaiseWaitTimeForErase();

  EventLoop& loop_;
  FormView& view_;
  FormServices services_;
  TComm comm_;

  std::array<ControlState, static_cast<std::size_t>(Control::Count)> controls_{};
  std::string memoText_;
  bool memoReadOnly_ = false;
  int memoFontPoints_ = 12;
  int progressPosition_ = 0;
  int progressMax_ = 100;
  std::vector<std::string> portItems_;
  std::vector<std::string> waitItems_{"1", "2", "3", "4", "5"};
  LanguageTexts texts_;
  Language language_ = Language::None;
  std::string programDirectory_;
  bool inFormCreateStep1_ = false;

  // program-wide state of the window's thread
  bool connected_ = false;   // FConnected
  bool portClosed_ = false;  // PortClosed
  bool updating_ = false;    // Updating
  bool wizardWaiting_ = false;
  bool restoreMode_ = false;
  bool eraseOnly_ = false;
  std::string replyWord_;                             // ReplyWord
  ReplyReceiver receiver_;                            // RxFrame, RxLogCount, OldVersionHex, RestorePointHex
  std::optional<std::vector<std::string>> hexLines_;  // HexLines: the firmware image, when held
  int handshakeRestarts_ = 0;                         // restarts of the connect handshake in a row
  bool handshakeGaveUp_ = false;                      // the restarts reached their bound
  bool portLost_ = false;                             // the port vanished since it was opened
  bool framesLostAtClose_ = false;                    // the last close discarded queued frames
  bool lastUpdateHadNoData_ = false;                  // erased, then only the end frame
  ActionResult lastResult_ = ActionResult::None;
};

// The text after the last "\" or "/" of `path`: the whole text without one,
// the empty text when it ends with one.
std::string LastPathComponent(const std::string& path);

}  // namespace mx
