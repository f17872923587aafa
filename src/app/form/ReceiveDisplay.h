#pragma once

// What arrives from the device and the waits for it, as the window shows
// them: the receive log in the memo, the version in Label1, the raw display
// of "Code Report", and the waiting state around every reply wait. It is the
// device session's owner on the window's side.

#include <functional>
#include <optional>
#include <span>

#include "app/LanguageTexts.h"
#include "app/form/ActionOutcome.h"
#include "app/form/FormControls.h"
#include "protocol/DeviceSession.h"

namespace mx {

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

  // The parser's texts in the window's language; call once it is chosen.
  void UseTexts(const LanguageTexts& texts);

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
  ReceiveTexts receiveTexts_;
};

}  // namespace mx
