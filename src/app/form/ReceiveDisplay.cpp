#include "app/form/ReceiveDisplay.h"

#include <string>

#include "protocol/Frames.h"

namespace mx {

ReceiveDisplay::ReceiveDisplay(FormControls& controls, ReceiveModes& modes, ActionOutcome& outcome,
                               std::function<const LanguageTexts&()> texts, std::function<void()> portLost)
    : controls_(controls), modes_(modes), outcome_(outcome), texts_(std::move(texts)), portLost_(std::move(portLost)) {}

void ReceiveDisplay::UseTexts(const LanguageTexts& texts) {
  receiveTexts_ = {texts.CommandReceivedText,   texts.RestoreCaption, texts.WizardCaption,   texts.ChecksumCheckedText,
                   texts.BootloaderVersionText, texts.OldVersionText, texts.RestorePointText};
}

// "Code Report" shows what arrives instead of assembling frames.
std::optional<ReceiveOptions> ReceiveDisplay::HowToReceive() {
  if (controls_.Checked(Control::TestData_CB)) return std::nullopt;
  return ReceiveOptions{controls_.Checked(Control::CBShowmag), modes_.wizardWaiting, modes_.restoreMode,
                        &receiveTexts_};
}

void ReceiveDisplay::ChunkParsed(const ReceiveResult& result) {
  for (const std::string& line : result.memoLines) controls_.MemoAppend(line);
  if (result.version) {
    controls_.SetCaption(Control::Label1, result.version->lines.front());
    outcome_.version = result.version;
  }
  if (result.wizardFrameLogged) modes_.wizardFrameSeen = true;
}

// A chunk that starts like a frame is shown as its bytes in decimal
// (replacing the memo's text), anything else as text up to its first zero
// byte, with the caret on the memo's last character; with "Show Message"
// unchecked nothing is shown.
void ReceiveDisplay::ChunkShownRaw(std::span<const std::uint8_t> chunk) {
  if (!controls_.Checked(Control::CBShowmag)) return;
  if (chunk.size() >= 2 && chunk[0] == FRAME_SYNC && chunk[1] == FRAME_SYNC) {
    std::string list;
    for (std::size_t i = 0; i < chunk.size(); ++i) {
      if (i > 0) list += ',';
      list += std::to_string(chunk[i]);
    }
    controls_.MemoReplace(std::move(list));
    return;
  }
  std::string text;
  for (std::size_t i = 0; i < chunk.size() && chunk[i] != 0; ++i) text += static_cast<char>(chunk[i]);
  controls_.MemoAppend(text);
  controls_.MemoSelectLastCharacter();
}

void ReceiveDisplay::WaitStarted() {
  controls_.StartAnimation();
  controls_.SetCaption(Control::Label7, texts_().WriteWaitingText);
}

// After an accepted block the waiting state stays: the transfer goes
// straight on to the next one.
void ReceiveDisplay::WaitEnded(Reply reply) {
  if (reply == Reply::WriteAccepted) return;
  controls_.SetCaption(Control::LabelTimeout, "");
  controls_.SetCaption(Control::Label7, "");
  controls_.StopAnimation();
}

}  // namespace mx
