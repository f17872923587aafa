// The update transfer: erase the device, write the image in acknowledged
// blocks, close it with the end frame, and report.

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/UpdaterForm.h"
#include "protocol/Frames.h"
#include "update/HexFile.h"

namespace mx {

namespace {

constexpr std::uint8_t kDataRecord = 0x00;
constexpr std::uint8_t kEndRecord = 0x01;
constexpr std::uint8_t kUpperAddressRecord = 0x04;

// Gathers data bytes into write frames that each cover one run of contiguous
// device memory. A block is sent when it holds 256 bytes, when the next
// record does not continue it, or when flushed; the sender returns false to
// stop the run. Records of 16 bytes from a 256-byte boundary give the same
// blocks as plain 256-byte chunking.
class BlockBuilder {
 public:
  using Sender = std::function<bool(std::span<const std::uint8_t> frame, bool lastBlock)>;

  explicit BlockBuilder(Sender send) : send_(std::move(send)) {}

  bool Add(std::uint32_t address, const std::vector<std::uint8_t>& data) {
    if (data.empty()) return true;
    if (frame_.Pending() && address != next_ && !SendPending(false)) return false;
    for (const std::uint8_t byte : data) {
      if (!frame_.Pending()) Start(address);
      frame_.Append(byte);
      ++address;
      if (frame_.Full() && !SendPending(false)) return false;
    }
    next_ = address;
    return true;
  }

  // Sends the pending block, if any, as the image's last one.
  bool Flush() { return !frame_.Pending() || SendPending(true); }

 private:
  void Start(std::uint32_t address) {
    frame_.Start(static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8),
                 static_cast<std::uint8_t>(address >> 16));
  }

  bool SendPending(bool lastBlock) {
    frame_.Close();
    const bool goOn = send_(frame_.Bytes(), lastBlock);
    frame_.Clear();
    return goOn;
  }

  Sender send_;
  WriteFrame frame_;
  std::uint32_t next_ = 0;  // device address the pending block continues at
};

// Whole milliseconds as seconds in general form: "12.516", "3", "0.05".
std::string FormatSeconds(std::chrono::milliseconds elapsed) {
  char text[32];
  const double seconds = static_cast<double>(elapsed.count()) / 1000.0;
  const auto result = std::to_chars(text, text + sizeof text, seconds, std::chars_format::general, 15);
  return std::string(text, result.ptr);
}

}  // namespace

void UpdaterForm::Button_SendClick() { SendFirmware(); }

void UpdaterForm::SendFirmware() {
  SetEnabled(Control::Button_Send, false);
  const Clock::time_point start = Clock::now();
  SetEnabled(Control::BtnFileOpen, false);
  const bool testMode = State(Control::TestData_CB).checked;

  // The window refuses to close while this is set; clear it on every way out.
  struct ClearOnExit {
    bool& flag;
    ~ClearOnExit() { flag = false; }
  } clearUpdating{updating_};

  const EraseEnd erase = EraseBeforeWriting(testMode);
  if (erase == EraseEnd::EraseOnly) return;

  bool wentThrough = false;
  int records = 0;
  if (erase == EraseEnd::Write) {
    // The run writes the image it started with, even if a handler run from
    // inside a wait reads another file meanwhile.
    const std::vector<std::string> image = hexLines_.value_or(std::vector<std::string>{});
    wentThrough = WriteImage(image, testMode, records);
  }
  if (wentThrough) hexLines_.reset();  // sent through: release; cut short: keep for another run
  updating_ = false;
  EndTransfer(start, testMode, records);
}

UpdaterForm::EraseEnd UpdaterForm::EraseBeforeWriting(bool testMode) {
  for (;;) {
    SetEnabled(Control::Button_Open, false);
    updating_ = true;
    SetEnabled(Control::BtnErase, false);
    if (testMode) {
      StartAnimation();
      SetCaption(Control::LabelTimeout, "TEST DATA");
      SetCaption(Control::Label7, "Write Data Waiting...");
      return EraseEnd::Write;
    }
    SendFrame(kEraseFrame);
    WaitForReply();
    if (eraseOnly_) {
      SetEnabled(Control::Button_Open, true);
      updating_ = false;
      return EraseEnd::EraseOnly;
    }
    if (replyWord_ == "QUIT") return EraseEnd::TimedOut;
    if (replyWord_ != "NO") return EraseEnd::Write;
  }
}

bool UpdaterForm::WriteImage(const std::vector<std::string>& image, bool testMode, int& records) {
  SetProgressPosition(0);
  records = 0;
  std::uint8_t upperAddress = 0;  // A2
  BlockBuilder blocks([this, testMode](std::span<const std::uint8_t> frame, bool lastBlock) {
    return SendBlock(frame, lastBlock, testMode);
  });

  for (const std::string& line : image) {
    const std::optional<HexRecord> record = ParseHexRecord(line);
    if (!record) continue;  // empty, not a record, or unreadable (only after the end record)
    switch (record->type) {
      case kDataRecord:
        ShowRecordProgress(++records);
        loop_.ProcessPendingEvents();
        if (!blocks.Add((std::uint32_t{upperAddress} << 16) | record->address, record->data)) return false;
        break;
      case kEndRecord:
        if (!blocks.Flush()) return false;
        SendFrame(kEndFrame);  // no reply is awaited
        break;
      case kUpperAddressRecord:
        upperAddress = record->upperByte;
        break;
      default:
        break;
    }
  }
  return true;
}

bool UpdaterForm::SendBlock(std::span<const std::uint8_t> frame, bool armFirst, bool testMode) {
  do {
    if (armFirst) ArmReceiver();
    SendFrame(frame);
    if (testMode) return true;
    WaitForReply();
    if (replyWord_ == "QUIT") return false;
  } while (replyWord_ == "NO");  // refused: the same frame again
  return true;
}

void UpdaterForm::ShowRecordProgress(int records) {
  SetProgressPosition(records);
  // Records after the end record count too; a file without data records
  // before it has no 100 % mark.
  const long percent = progressMax_ > 0 ? std::lround(records * 100.0 / progressMax_) : 100;
  SetCaption(Control::Label_Percent, std::to_string(percent) + "%");
}

void UpdaterForm::EndTransfer(Clock::time_point start, bool testMode, int records) {
  lastUpdateHadNoData_ = false;
  if (portLost_) return EndLostTransfer();
  if (testMode) {
    // Nothing was acknowledged: say what happened and keep the port open.
    StopAnimation();
    SetCaption(Control::Label7, "");
    SetCaption(Control::Label11, "TEST DATA sent, not verified");
    SetEnabled(Control::Button_Open, true);
    lastResult_ = ActionResult::None;
    return;
  }
  if (replyWord_ == "QUIT") {
    SetCaption(Control::LabelTimeout, "Time Out!");
    SetCaption(Control::Label7, "Program Stop Update!");
    StopAnimation();
    lastResult_ = ActionResult::DeviceFailed;
    return;
  }
  SetCaption(Control::LabelTimeout, "");
  SetCaption(Control::Label7, "");
  StopAnimation();
  if (replyWord_ == "OK") {
    FinishUpdate(start);
  } else if (replyWord_ == "EraseOK" && records == 0) {
    // Erased, and the end frame went out: all that a file without data
    // records asks. The window shows nothing more; the port stays open.
    lastUpdateHadNoData_ = true;
    lastResult_ = ActionResult::Success;
  } else {
    lastResult_ = ActionResult::DeviceFailed;
  }
}

// The hang-up has shown its message and the disconnected state already.
void UpdaterForm::EndLostTransfer() {
  SetCaption(Control::LabelTimeout, "");
  SetCaption(Control::Label7, "Program Stop Update!");
  StopAnimation();
  SetEnabled(Control::Button_Open, true);
  lastResult_ = ActionResult::DeviceFailed;
}

void UpdaterForm::FinishUpdate(Clock::time_point start) {
  SendFrame(kVersionFrame);
  SetConnectState(false);  // after the end frame and this request have left the port
  if (framesLostAtClose_) {
    // The device held them back too long: the update is not known to be complete.
    SetCaption(Control::Label11, texts_.LastFramesNotSentText);
    lastResult_ = ActionResult::DeviceFailed;
    view_.ShowMessage(texts_.LastFramesNotSentText);
    SetEnabled(Control::Button_Open, true);
    return;
  }
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  SetCaption(Control::Label11, texts_.FinishUpdateText + "! " + FormatSeconds(elapsed) + "Sec.");
  lastResult_ = ActionResult::Success;
  view_.ShowMessage(texts_.FinishUpdateText);
  SetEnabled(Control::Button_Open, true);
}

}  // namespace mx
