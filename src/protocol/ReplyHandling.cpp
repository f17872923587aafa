// The receive handler and the one reply-waiting mechanism every command uses:
// send a frame, WaitForReply, then read ReplyWord.

#include <chrono>

#include "app/UpdaterForm.h"
#include "protocol/Frames.h"

namespace mx {

void UpdaterForm::Comm1ReceiveData(TComm&, const std::uint8_t* Buffer, std::uint16_t BufferLength) {
  replyWord_.clear();
  if (State(Control::TestData_CB).checked) {
    if (State(Control::CBShowmag).checked) ShowRawChunk(Buffer, BufferLength);
    return;
  }
  const ReceiveOptions options{State(Control::CBShowmag).checked, wizardWaiting_, restoreMode_, &texts_};
  ReceiveResult result = receiver_.Feed({Buffer, BufferLength}, options);
  for (const std::string& line : result.memoLines) MemoAppend(line);
  if (result.versionCaption) SetCaption(Control::Label1, *result.versionCaption);
  if (result.replyWord) replyWord_ = *result.replyWord;
}

// "Code Report" shows what arrives instead of assembling frames: a chunk that
// starts like a frame as its bytes in decimal (replacing the memo's text),
// anything else as text.
void UpdaterForm::ShowRawChunk(const std::uint8_t* buffer, std::uint16_t length) {
  if (length >= 2 && buffer[0] == FRAME_SYNC && buffer[1] == FRAME_SYNC) {
    std::string list;
    for (std::uint16_t i = 0; i < length; ++i) {
      if (i > 0) list += ',';
      list += std::to_string(buffer[i]);
    }
    MemoReplace(std::move(list));
    return;
  }
  std::string text;
  for (std::uint16_t i = 0; i < length && buffer[i] != 0; ++i) text += static_cast<char>(buffer[i]);
  MemoAppend(text);
}

void UpdaterForm::ArmReceiver() { receiver_.Arm(); }

void UpdaterForm::WaitForReply() {
  StartAnimation();
  SetCaption(Control::Label7, texts_.WriteWaitingText);
  replyWord_.clear();
  WaitReplyOrTimeout(DigitsToInt(State(Control::ComboBoxwWait).caption));
  if (replyWord_ != "OK") {
    // On "OK" the waiting state stays: the transfer goes straight on.
    SetCaption(Control::LabelTimeout, "");
    SetCaption(Control::Label7, "");
    StopAnimation();
  }
}

// Handles events until a reply has been recognised, the port has vanished
// or the time is up. Events already pending are handled even with a time-out
// of 0 seconds. A vanished port ends the wait as a time-out does.
void UpdaterForm::WaitReplyOrTimeout(double seconds) {
  const auto deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  loop_.ProcessPendingEvents();
  while (replyWord_.empty() && !portLost_ && Clock::now() < deadline) loop_.WaitForEvents(deadline);
  if (replyWord_.empty()) replyWord_ = "QUIT";
}

void UpdaterForm::SendFrame(std::span<const std::uint8_t> frame) {
  comm_.SendData(frame.data(), static_cast<std::uint16_t>(frame.size()));
}

// Waits, handling events, until the transmit thread reports that everything
// queued has been written, at most `limit`. True when it has; false when the
// time ran out or the port vanished first.
bool UpdaterForm::DrainOutput(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (comm_.IsOpen() && !portLost_ && !comm_.AllSent() && Clock::now() < deadline) loop_.WaitForEvents(deadline);
  return comm_.AllSent() && !portLost_;
}

}  // namespace mx
