#include "app/form/ReceiveDisplay.h"

#include <string>
#include <variant>

#include "protocol/Frames.h"

namespace mx {

namespace {

// The log's own English lines, in every language.
constexpr char kWriteAcknowledgedLine[] = "Bootloader : Write command ACK received.";
constexpr char kEraseAcknowledgedLine[] = "Bootloader : Erase command ACK received.";

std::string FrameLine(const LoggedFrame& frame, const LanguageTexts& texts, bool restoreMode) {
  std::string line = restoreMode ? texts.RestoreCaption : texts.CommandReceivedText;
  line += ':';
  for (const std::uint8_t byte : frame.bytes) {
    line += std::to_string(byte);
    line += ',';
  }
  return line;
}

template <class... Handlers>
struct Overloaded : Handlers... {
  using Handlers::operator()...;
};

}  // namespace

std::vector<std::string> ReceiveLogLines(const LogEntry& entry, const LanguageTexts& texts, bool restoreMode) {
  return std::visit(Overloaded{
                        [&](const LoggedFrame& frame) { return std::vector{FrameLine(frame, texts, restoreMode)}; },
                        [&](const WizardFrameSeen&) { return std::vector{texts.WizardCaption}; },
                        [&](const ChecksumChecked&) { return std::vector{texts.ChecksumCheckedText}; },
                        [](const WriteAcknowledged&) { return std::vector<std::string>{kWriteAcknowledgedLine}; },
                        [](const EraseAcknowledged&) { return std::vector<std::string>{kEraseAcknowledgedLine}; },
                        [&](const VersionReply& version) { return VersionLines(version, texts); },
                    },
                    entry);
}

std::vector<std::string> VersionLines(const VersionReply& version, const LanguageTexts& texts) {
  return {texts.BootloaderVersionText + ":" + std::to_string(version.major) + "." + std::to_string(version.minor),
          texts.OldVersionText + ":" + version.oldVersionHex, texts.RestorePointText + ":" + version.restorePointHex};
}

ReceiveDisplay::ReceiveDisplay(FormControls& controls, ReceiveModes& modes, ActionOutcome& outcome,
                               std::function<const LanguageTexts&()> texts)
    : controls_(controls), modes_(modes), outcome_(outcome), texts_(std::move(texts)) {}

void ReceiveDisplay::Logged(const LogEntry& entry) {
  for (const std::string& line : ReceiveLogLines(entry, texts_(), modes_.restoreMode)) {
    controls_.MemoAppend(line + "\r\n");
  }
}

void ReceiveDisplay::VersionReceived(const VersionReply& version) {
  controls_.SetCaption(Control::Label1, VersionLines(version, texts_()).front());
  outcome_.version = version;
}

// A chunk that starts like a frame is shown as its bytes in decimal
// (replacing the memo's text), anything else as text up to its first zero
// byte, with the caret on the memo's last character; with "Show Message"
// unchecked nothing is shown.
void ReceiveDisplay::RawReceived(std::span<const std::uint8_t> chunk) {
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
