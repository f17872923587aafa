#pragma once

// What arrives from the device and the waits for it, as the window shows
// them: the receive log in the memo, the version in Label1, the raw display
// of "Code Report", and the waiting state around every reply wait. It is the
// device session's owner on the window's side.

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "actions/ActionOutcome.h"
#include "app/LanguageTexts.h"
#include "app/form/FormControls.h"
#include "protocol/DeviceSession.h"

namespace mx {

// The memo lines for one receive log entry, without line ends, in `texts`:
// a frame as its prefix, a colon and its bytes in decimal (the restore
// caption as the prefix in restore mode).
std::vector<std::string> ReceiveLogLines(const LogEntry& entry, const LanguageTexts& texts, bool restoreMode);

// "Bootloader Version:1.1" (also Label1's caption), then the OldVersion and
// RestorePoint lines.
std::vector<std::string> VersionLines(const VersionReply& version, const LanguageTexts& texts);

// The window's modes that decide how a chunk is taken.
struct ReceiveModes {
  bool wizardWaiting = false;    // the Update Wizard waits for the device's first frame
  bool restoreMode = false;      // log lines begin with the restore caption
  bool wizardFrameSeen = false;  // set here: a frame arrived while the wizard waited
};

class ReceiveDisplay final : public SessionOwner {
 public:
  // `texts` is looked up at every chunk: the language is chosen after the
  // window is made. `portLost` runs when the port vanishes.
  ReceiveDisplay(FormControls& controls, ReceiveModes& modes, ActionOutcome& outcome,
                 std::function<const LanguageTexts&()> texts, std::function<void()> portLost);

  std::optional<ReceiveOptions> HowToReceive() override;
  void ChunkParsed(const ReceiveResult& result) override;  // the window's Comm1ReceiveData
  void ChunkShownRaw(std::span<const std::uint8_t> chunk) override;
  void WaitStarted() override;
  void WaitEnded(Reply reply) override;
  void PortLost() override { portLost_(); }

 private:
  FormControls& controls_;
  ReceiveModes& modes_;
  ActionOutcome& outcome_;
  std::function<const LanguageTexts&()> texts_;
  std::function<void()> portLost_;
};

}  // namespace mx
