#include "app/ActionTexts.h"

#include <charconv>

namespace mx {

namespace {

// Whole milliseconds as seconds in general form: "12.516", "3", "0.05".
std::string FormatSeconds(std::chrono::milliseconds elapsed) {
  char text[32];
  const double seconds = static_cast<double>(elapsed.count()) / 1000.0;
  const auto result = std::to_chars(text, text + sizeof text, seconds, std::chars_format::general, 15);
  return std::string(text, result.ptr);
}

}  // namespace

TransferEndingTexts TextsForEnding(TransferOutcome::Ending ending, const LanguageTexts& texts) {
  using Ending = TransferOutcome::Ending;
  switch (ending) {
    case Ending::PortLost:  // its message was shown when the port went
      return {{kStopUpdateText}, texts.PortLostText};
    case Ending::TimedOut:
      return {{kTimeOutText, kStopUpdateText}, kTimeOutText};
    case Ending::NoData:
      return {{texts.NoDataText}, ""};
    case Ending::NotAnswered:
      return {{}, texts.NotAnsweredText, true};
    default:
      return {};
  }
}

std::string FinishedLine(const LanguageTexts& texts, std::chrono::milliseconds elapsed) {
  return texts.FinishUpdateText + "! " + FormatSeconds(elapsed) + "Sec.";
}

std::string EraseMessage(Reply reply) {
  const bool erased = reply == Reply::EraseAccepted;
  return std::string(erased ? "Erase successful!(" : "Erase fail!(") + std::string(ReplyWord(reply)) + ")";
}

std::string OpenFailureMessage(const std::string& error) { return error + ",Is not connect Mx7410 !"; }

}  // namespace mx
