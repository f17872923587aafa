#include "app/LanguageTexts.h"

#include <algorithm>
#include <cctype>

namespace mx {

namespace {

void SetOwnEnglishTexts(LanguageTexts& t) {
  t.PortLostText = "Serial port lost, Mx7410 disconnected!";
  t.LastFramesNotSentText = "The last frames could not be sent, update not finished!";
  t.NoDataText = "Mx7410 erased; the file holds no data.";
  t.NotAnsweredText = "Mx7410 has not answered on this port, nothing was sent: connect first!";
  t.UnsignedFileText = "The file is not signed by a trusted key: ";
  t.TrustedKeysFaultText = "The trusted keys cannot be read, so no file is taken: ";
}

LanguageTexts MakeEnglish() {
  LanguageTexts t;
  t.ConnectCaption = "Connect";
  t.UpdateCaption = "Update";
  t.RestoreCaption = "Restore";
  t.ClearMemoCaption = "Clear Memo";
  t.PortCaption = "Port";
  t.HelpCaption = "Help";
  t.ShowMessageCaption = "Show Messag";
  t.CodeReportCaption = "Code Report";
  t.TitleText = "Mx7410 Bootloader System(2012.11)";
  t.DisconnectCaption = "DisConnect";
  t.WizardCaption = "Update Wizard";
  t.AutoSelectCaption = "Auto select comport";
  t.FinishUpdateText = "Finish Update";
  t.WaitPowerText = "Waiting for Turn on(Restart) Mx7410 Power";
  t.CommandReceivedText = "Command Received";
  t.BootloaderVersionText = "Bootloader Version";
  t.OldVersionText = "OldVersion";
  t.RestorePointText = "RestorePoint";
  t.ChecksumCheckedText = "Command checksum checked.";
  t.WriteWaitingText = "Write Data Waiting...";
  t.UpdateFileNameText = "Update FileName";
  t.ConnectFailText = "May be Not on Bootloader Connect fail!";
  t.NotConnectedText = "May be not connect Mx7410!";
  SetOwnEnglishTexts(t);
  return t;
}

LanguageTexts MakeChinese() {
  LanguageTexts t;
  t.ConnectCaption = "連線";
  t.UpdateCaption = "更新";
  t.RestoreCaption = "還原";
  t.ClearMemoCaption = "清除訊息";
  t.PortCaption = "埠號";
  t.HelpCaption = "求助";
  t.ShowMessageCaption = "顯示訊息";
  t.CodeReportCaption = "編碼報表";
  t.TitleText = "Mx7410 更新系統(2012.11)";
  t.DisconnectCaption = "中斷連線";
  t.WizardCaption = "更新精靈";
  t.AutoSelectCaption = "自動選擇埠號";
  t.FinishUpdateText = "更新完成";
  t.WaitPowerText = "等待重啟動 Mx7410 ！";
  t.CommandReceivedText = "指令就緒 ";
  t.BootloaderVersionText = "Bootloader 版本";
  t.OldVersionText = "目前版本";
  t.RestorePointText = "還原點";
  t.ChecksumCheckedText = "指令檢查就緒";
  t.WriteWaitingText = "資料寫入中請等候...";
  t.UpdateFileNameText = "更新檔案名稱";
  t.ConnectFailText = "可能沒啟動Bootloader，連線失敗!";
  t.NotConnectedText = "可能沒連線Mx7410!";
  t.PortLostText = "序列埠已遺失，Mx7410 已中斷連線!";
  t.LastFramesNotSentText = "最後的資料無法送出，更新未完成!";
  t.NoDataText = "Mx7410 已清除，檔案沒有資料。";
  t.NotAnsweredText = "Mx7410 尚未在此序列埠回應，未送出任何資料：請先連線!";
  t.UnsignedFileText = "檔案未經信任的金鑰簽署：";
  t.TrustedKeysFaultText = "無法讀取信任的金鑰，不接受任何檔案：";
  return t;
}

LanguageTexts MakeNone() {
  LanguageTexts t;
  SetOwnEnglishTexts(t);
  return t;
}

}  // namespace

Language LanguageFromSetting(std::string_view value) {
  std::string upper(value);
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  if (upper == "CH") return Language::Chinese;
  if (upper == "ENG") return Language::English;
  return Language::None;
}

const LanguageTexts& TextsFor(Language language) {
  static const LanguageTexts english = MakeEnglish();
  static const LanguageTexts chinese = MakeChinese();
  static const LanguageTexts none = MakeNone();
  switch (language) {
    case Language::English:
      return english;
    case Language::Chinese:
      return chinese;
    case Language::None:
      break;
  }
  return none;
}

}  // namespace mx
