#pragma once

// What arrives from the device and the waits for it, as the window shows
// them: the receive log in the memo, the version in Label1, the raw display
// of "Code Report", and the waiting state around every reply wait. The form
// passes it what the device actions tell.

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "actions/ActionOutcome.h"
#include "app/LanguageTexts.h"
#include "app/form/FormControls.h"
#include "protocol/ReplyParser.h"

namespace mx {

// The memo lines for one receive log entry, without line ends, in `texts`:
// a frame as its prefix, a colon and its bytes in decimal (the restore
// caption as the prefix in restore mode).
std::vector<std::string> ReceiveLogLines(const LogEntry& entry, const LanguageTexts& texts, bool restoreMode);

// "Bootloader Version:1.1" (also Label1's caption), then the OldVersion and
// RestorePoint lines.
std::vector<std::string> VersionLines(const VersionReply& version, const LanguageTexts& texts);

// The window's modes that decide how a chunk is shown.
struct ReceiveModes {
  bool wizardWaiting = false;  // the Update Wizard waits for the device's first frame
  bool restoreMode = false;    // log lines begin with the restore caption
};

class ReceiveDisplay final {
 public:
  // `texts` is looked up at every chunk: the language is chosen after the
  // window is made.
  ReceiveDisplay(FormControls& controls, ReceiveModes& modes, ActionOutcome& outcome,
                 std::function<const LanguageTexts&()> texts);

  // The window's Comm1ReceiveData: the log's entries, then the version.
  void Logged(const LogEntry& entry);
  void VersionReceived(const VersionReply& version);
  // "Show Message": the log takes frames.
  bool LogsFrames() const { return controls_.Checked(Control::CBShowmag); }
  // "Code Report" shows what arrives instead of assembling frames.
  bool TakesRaw() const { return controls_.Checked(Control::TestData_CB); }
  void RawReceived(std::span<const std::uint8_t> chunk);
  void WaitStarted();
  void WaitEnded(Reply reply);

 private:
  FormControls& controls_;
  ReceiveModes& modes_;
  ActionOutcome& outcome_;
  std::function<const LanguageTexts&()> texts_;
};

}  // namespace mx
