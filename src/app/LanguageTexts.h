#pragma once

#include <string>
#include <string_view>

namespace mx {

// The window's 23 language texts (UTF-8), then this program's own. Chosen
// once at start; a window text the chosen language leaves unset is empty.
struct LanguageTexts {
  std::string ConnectCaption;
  std::string UpdateCaption;
  std::string RestoreCaption;
  std::string ClearMemoCaption;
  std::string PortCaption;
  std::string HelpCaption;
  std::string ShowMessageCaption;
  std::string CodeReportCaption;
  std::string TitleText;
  std::string DisconnectCaption;
  std::string WizardCaption;
  std::string AutoSelectCaption;
  std::string FinishUpdateText;
  std::string WaitPowerText;
  std::string CommandReceivedText;
  std::string BootloaderVersionText;
  std::string OldVersionText;
  std::string RestorePointText;
  std::string ChecksumCheckedText;
  std::string WriteWaitingText;
  std::string UpdateFileNameText;
  std::string ConnectFailText;
  std::string NotConnectedText;

  // Texts of this program beyond the window's 23. They say why an action
  // failed, so they are never empty: without a language they are English.
  std::string PortLostText;           // the port vanished (adapter unplugged)
  std::string LastFramesNotSentText;  // the update's last frames never left the port
  std::string NoDataText;             // an update of a file without data records
  std::string NotAnsweredText;        // nothing sent: the bootloader has not answered on this port
  std::string UnsignedFileText;       // before the reason a file's signature is refused for
  std::string TrustedKeysFaultText;   // before the reason the installed trusted keys cannot be read
};

enum class Language { None, English, Chinese };

// "ENG" and "CH", compared without regard to case; anything else is None.
Language LanguageFromSetting(std::string_view value);

const LanguageTexts& TextsFor(Language language);

}  // namespace mx
