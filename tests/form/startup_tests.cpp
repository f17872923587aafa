// Start-up of the window: the settings file, the language texts and the
// message panel.

#include <gtest/gtest.h>

#include "app/PrivateProfile.h"
#include "support/FormHarness.h"

namespace mx::test {
namespace {

std::string Setting(const FormHarness& h, const std::string& key) {
  return ReadProfileString("ComPort", key, "<missing>", h.SettingsFile());
}

void WriteSettings(const FormHarness& h, const std::string& showmag, const std::string& language) {
  h.settings.Write("Comport.ini", "[ComPort]\r\nShowmag=" + showmag + "\r\nlanguage=" + language + "\r\n");
}

TEST(Startup, FirstStartCreatesTheSettingsWithDefaults) {
  FormHarness h;
  h.ports = {"ttyS0", "sim0"};
  h.form->FormCreate();

  EXPECT_EQ(Setting(h, "Showmag"), "0");
  EXPECT_EQ(Setting(h, "language"), "ENG");
  EXPECT_FALSE(h.State(Control::CBShowmag).checked);
  EXPECT_FALSE(h.State(Control::Panel8).visible);
  EXPECT_EQ(h.view.panelToggles, (std::vector<bool>{true, false}));
  EXPECT_EQ(h.Caption(Control::Button_Open), "Connect");
  EXPECT_EQ(h.Caption(Control::Window), "Mx7410 Bootloader System(2012.11)");
  EXPECT_EQ(h.Caption(Control::CBShowmag), "Show Messag");
  EXPECT_EQ(h.Caption(Control::TestData_CB), "Code Report");
  EXPECT_EQ(h.Caption(Control::ComboBox1), "sim0");
  EXPECT_EQ(h.form->Controls().PortItems(), h.ports);
  EXPECT_EQ(h.Caption(Control::Label7), "");
  EXPECT_EQ(h.Caption(Control::LabelTimeout), "");
  EXPECT_FALSE(h.State(Control::BtnFileOpen).enabled);
  EXPECT_FALSE(h.State(Control::DisConnect1).enabled);
  EXPECT_TRUE(h.view.messages.empty());
}

struct ShowmagCase {
  const char* stored;
  bool shown;
  const char* storedAfter;
};

class StartupShowmag : public ::testing::TestWithParam<ShowmagCase> {};

TEST_P(StartupShowmag, OnlyTheFirstCharacterCounts) {
  FormHarness h;
  WriteSettings(h, GetParam().stored, "ENG");
  h.form->FormCreate();
  EXPECT_EQ(h.State(Control::CBShowmag).checked, GetParam().shown);
  EXPECT_EQ(h.State(Control::Panel8).visible, GetParam().shown);
  EXPECT_EQ(Setting(h, "Showmag"), GetParam().storedAfter);
}

INSTANTIATE_TEST_SUITE_P(Values, StartupShowmag,
                         ::testing::Values(ShowmagCase{"1", true, "1"}, ShowmagCase{"10", true, "10"},
                                           ShowmagCase{"yes", false, "0"}, ShowmagCase{"0", false, "0"}));

TEST(Startup, LanguageSelectsTheTextsWithoutRegardToCase) {
  struct Case {
    const char* stored;
    const char* connectCaption;
    Language language;
  };
  for (const Case& c : {Case{"ch", "連線", Language::Chinese}, Case{"Eng", "Connect", Language::English},
                        Case{"FR", "", Language::None}}) {
    FormHarness h;
    WriteSettings(h, "1", c.stored);
    h.form->FormCreate();
    EXPECT_EQ(h.form->CurrentLanguage(), c.language) << c.stored;
    EXPECT_EQ(h.Caption(Control::Button_Open), c.connectCaption) << c.stored;
    EXPECT_EQ(Setting(h, "language"), c.stored) << "the value is never rewritten";
  }
}

TEST(Startup, UnknownLanguageEmptiesEveryAppliedCaption) {
  FormHarness h;
  WriteSettings(h, "1", "FR");
  h.form->FormCreate();
  for (Control c :
       {Control::Button_Open, Control::BtnFileOpen, Control::BtnRestore, Control::BtnClearMemo, Control::Portlb,
        Control::BtnHelp, Control::CBShowmag, Control::LaTitle, Control::cbAuto_select, Control::Set_Bootloader,
        Control::SetBootloader1, Control::DisConnect1, Control::TestData_CB, Control::Restore1, Control::Window}) {
    EXPECT_EQ(h.Caption(c), "") << ControlName(c);
  }
}

TEST(Startup, SerialCharactersComeFromTheHiddenFields) {
  FormHarness h;
  h.form->FormCreate();
  EXPECT_EQ(h.form->Comm1().XonChar(), '~');
  EXPECT_EQ(h.form->Comm1().XoffChar(), '}');
  EXPECT_EQ(h.Caption(Control::Label5), "125");
  EXPECT_EQ(h.Caption(Control::Label6), "126");
}

TEST(Startup, NoSerialPortStillSetsCaptionsAndCharacters) {
  FormHarness h;
  h.form->FormCreate();
  EXPECT_EQ(h.Caption(Control::ComboBox1), "");
  EXPECT_EQ(h.Caption(Control::Button_Open), "Connect");
  EXPECT_EQ(h.form->Comm1().XonChar(), '~');
  EXPECT_TRUE(h.view.messages.empty()) << "the failed listing is silent";
}

TEST(Startup, UnwritableSettingsEndStartupWithTheDesignedCaptions) {
  FormHarness h;
  // A directory where the file should be: no user, not even root, can write it.
  std::filesystem::create_directory(h.settings.Path() / "Comport.ini");
  h.ports = {"sim0"};
  h.form->FormCreate();
  ASSERT_EQ(h.view.messages.size(), 1u);
  EXPECT_EQ(h.view.messages[0], "Unable to write to " + h.SettingsFile());
  EXPECT_EQ(h.Caption(Control::Button_Open), "Connect");
  EXPECT_EQ(h.Caption(Control::CBShowmag), "Show Message");
  EXPECT_EQ(h.Caption(Control::LabelTimeout), "Time Out!") << "later steps did not run";
  EXPECT_EQ(h.Caption(Control::ComboBox1), "");
}

TEST(ShowMessage, EachChangeIsStoredAtOnce) {
  FormHarness h;
  h.form->FormCreate();
  h.form->SetCheckedByUser(Control::CBShowmag, true);
  EXPECT_EQ(Setting(h, "Showmag"), "1");
  EXPECT_TRUE(h.State(Control::Panel8).visible);
  h.form->SetCheckedByUser(Control::CBShowmag, false);
  EXPECT_EQ(Setting(h, "Showmag"), "0");
  EXPECT_FALSE(h.State(Control::Panel8).visible);
  EXPECT_EQ(h.view.panelToggles.back(), false);
}

TEST(Options, ClearMemoEmptiesTheMemoButNotTheLabels) {
  FormHarness h;
  h.form->FormCreate();
  // A refused file fills the file and line-count labels.
  ASSERT_FALSE(h.form->ReadHexFile(h.settings.Write("bad.hex", "x\n").string()));
  const std::string fileLabel = h.Caption(Control::Label11);
  const std::string linesLabel = h.Caption(Control::Label7);
  ASSERT_EQ(fileLabel, "Update FileName:bad.hex");
  ASSERT_EQ(linesLabel, "1");
  h.form->SetMemoTextByUser("typed");
  h.form->ClickInCode(Control::BtnClearMemo);
  EXPECT_EQ(h.form->Controls().MemoText(), "");
  EXPECT_EQ(h.Caption(Control::Label11), fileLabel);
  EXPECT_EQ(h.Caption(Control::Label7), linesLabel);
}

TEST(Options, HelpWindowOpensEveryTime) {
  FormHarness h;
  h.form->Click(Control::BtnHelp);
  h.form->Click(Control::BtnHelp);
  EXPECT_EQ(h.view.helpShown, 2);
}

TEST(Options, UserClicksOnDisabledOrHiddenControlsDoNothing) {
  FormHarness h;
  h.form->FormCreate();
  h.form->Click(Control::BtnErase);  // hidden and disabled
  EXPECT_TRUE(h.view.confirmations.empty());
  h.form->ClickInCode(Control::BtnErase);  // a click made in code runs it anyway
  EXPECT_EQ(h.view.confirmations, (std::vector<std::string>{"Erase Data!"}));
}

// The fatal connect error's default ends this process alone: a second copy
// of the program, flashing another board, must live on.
TEST(FatalConnectError, EndsThisProcessOnly) {
  EXPECT_EXIT(EndThisProcess("mx_7410Update.exe"), testing::ExitedWithCode(1), "");
}

}  // namespace
}  // namespace mx::test
