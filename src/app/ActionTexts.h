#pragma once

// The texts that the window and the command line both show for how a device
// action ended, made once, from facts, without controls.

#include <chrono>
#include <string>
#include <vector>

#include "app/LanguageTexts.h"
#include "protocol/Reply.h"
#include "update/Transfer.h"

namespace mx {

inline constexpr char kTimeOutText[] = "Time Out!";
inline constexpr char kStopUpdateText[] = "Program Stop Update!";
inline constexpr char kFailToSendText[] = "Fail to Send!";

// How a transfer that did not write its image ended, as told to the user.
struct TransferEndingTexts {
  std::vector<std::string> closingLines;  // the status lines the action ends with
  std::string reason;                     // why it failed; empty for a success
  bool inMessageBox = false;              // the reason is shown in a message box
};
TransferEndingTexts TextsForEnding(TransferOutcome::Ending ending, const LanguageTexts& texts);

// "Finish Update! 12.516Sec." for a written image and its time.
std::string FinishedLine(const LanguageTexts& texts, std::chrono::milliseconds elapsed);

// "Erase successful!(EraseOK)", or "Erase fail!(NO)" and the like.
std::string EraseMessage(Reply reply);

// The message of a port that would not open, after the system's text.
std::string OpenFailureMessage(const std::string& error);

}  // namespace mx
