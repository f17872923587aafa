// The window with trusted keys installed beside it: every file it takes
// must be signed by one of them, and a refused file changes nothing.

#include <gtest/gtest.h>

#include <algorithm>

#include "app/PrivateProfile.h"
#include "sim/SimulatedBootloader.h"
#include "support/FormHarness.h"
#include "support/HexWriter.h"
#include "support/SignedFiles.h"

namespace mx::test {
namespace {

namespace fs = std::filesystem;

const std::string kUnsigned = "The file is not signed by a trusted key: ";

class TrustedFile : public ::testing::Test {
 protected:
  TrustedFile() {
    FormServices services;
    services.settingsDirectory = h.settings.WithSeparator();
    services.listSerialPorts = [] { return std::vector<std::string>{}; };
    services.portDevicePath = [](const std::string& name) { return name; };
    services.killProcessByName = [](const std::string&) { return false; };
    services.trustedKeysFolder = keys.string();
    h.form = std::make_unique<UpdaterForm>(h.loop, h.view, std::move(services));
  }

  void Connect(const std::string& language = "ENG") {
    device.Start();
    h.settings.Write("Comport.ini", "[ComPort]\r\nShowmag=1\r\nlanguage=" + language + "\r\n");
    h.form->FormCreate();
    h.form->SetCheckedByUser(Control::cbAuto_select, false);
    h.form->SetTextByUser(Control::ComboBox1, device.PortPath());
    h.form->SetTextByUser(Control::ComboBoxwWait, "1");
    h.form->Click(Control::Button_Open);
    ASSERT_TRUE(h.form->FConnected());
  }

  std::string Image(const std::string& name, std::uint8_t seed = 0) const {
    return files.Write(name, HexImage().Bytes(0, Pattern(64, seed)).End().Text()).string();
  }
  std::string Setting(const char* key) const {
    return ReadProfileString("ComPort", key, "<missing>", h.SettingsFile());
  }

  FormHarness h;
  TempDir files;
  fs::path keys = files.Path() / "beside-the-program" / "trusted-keys";
  SigningKey release;
  sim::SimulatedBootloader device;
};

TEST_F(TrustedFile, ASignedFileIsWritten) {
  release.InstallIn(keys, "release");
  const std::string file = Image("signed.hex");
  release.Sign(file);
  Connect();
  h.view.fileAnswers.push_back(file);
  h.form->Click(Control::BtnFileOpen);

  EXPECT_EQ(h.form->LastOutcome().result, ActionResult::Success) << h.form->LastOutcome().reason;
  std::string why;
  EXPECT_TRUE(device.MatchesHexFile(file, &why)) << why;
}

// Update and Restore alike: one message with the reason, and the file held
// before, its name, the controls and the device stay as they were.
TEST_F(TrustedFile, ARefusedFileChangesNothing) {
  release.InstallIn(keys, "release");
  const std::string held = Image("held.hex");
  release.Sign(held);
  const std::string changed = Image("changed.hex");
  release.Sign(changed);
  Image("changed.hex", 1);
  const std::string foreign = Image("foreign.hex");
  SigningKey().Sign(foreign);
  const std::string unsignedFile = Image("unsigned.hex");
  ASSERT_TRUE(h.form->ReadHexFile(held));
  Connect();
  const std::string heldLabel = h.Caption(Control::Label11);
  const std::string storedName = Setting("Filename");

  for (const Control button : {Control::BtnFileOpen, Control::BtnRestore}) {
    for (const std::string& file : {unsignedFile, changed, foreign}) {
      SCOPED_TRACE(file);
      h.view.messages.clear();
      h.view.fileAnswers.push_back(file);
      h.form->ClickInCode(button);
      ASSERT_EQ(h.view.messages.size(), 1u);
      EXPECT_EQ(h.view.messages[0].rfind(kUnsigned, 0), 0u) << h.view.messages[0];
      EXPECT_GT(h.view.messages[0].size(), kUnsigned.size() + 10) << "the reason follows";
      EXPECT_EQ(h.form->LastOutcome().result, ActionResult::FileRefused);
      EXPECT_TRUE(h.form->ImageHeld());
      EXPECT_EQ(h.Caption(Control::Label11), heldLabel);
      EXPECT_EQ(Setting("Filename"), storedName);
      EXPECT_TRUE(h.State(Control::BtnFileOpen).enabled);
    }
  }
  EXPECT_EQ(device.EraseCount(), 0);
  EXPECT_EQ(device.RestoreCount(), 0);
  EXPECT_TRUE(h.form->FConnected());
}

TEST_F(TrustedFile, TheRefusalSpeaksTheChosenLanguage) {
  release.InstallIn(keys, "release");
  Connect("CH");
  h.view.fileAnswers.push_back(Image("unsigned.hex"));
  h.form->Click(Control::BtnFileOpen);
  ASSERT_EQ(h.view.messages.size(), 1u);
  EXPECT_EQ(h.view.messages[0].rfind("檔案未經信任的金鑰簽署：No signature", 0), 0u) << h.view.messages[0];
}

TEST_F(TrustedFile, AnUnreadableKeyRefusesEveryFileAndSaysSo) {
  release.InstallIn(keys, "release");
  files.Write("beside-the-program/trusted-keys/damaged.pub", "untrusted comment: cut short\n");
  const std::string file = Image("signed.hex");
  release.Sign(file);
  Connect();
  h.view.fileAnswers.push_back(file);
  h.form->Click(Control::BtnFileOpen);

  ASSERT_EQ(h.view.messages.size(), 1u);
  const std::string& message = h.view.messages[0];
  EXPECT_EQ(message.rfind("The trusted keys cannot be read, so no file is taken: ", 0), 0u) << message;
  EXPECT_NE(message.find("damaged.pub"), std::string::npos) << message;
  EXPECT_FALSE(h.form->ImageHeld());
  EXPECT_EQ(device.EraseCount(), 0);
}

// A folder without keys, or none at all, asks for no signature.
TEST_F(TrustedFile, WithoutInstalledKeysAnyFileIsTaken) {
  for (const bool folderExists : {false, true}) {
    if (folderExists) fs::create_directories(keys);
    EXPECT_TRUE(h.form->ReadHexFile(Image("unsigned.hex"))) << folderExists;
  }
  EXPECT_TRUE(h.view.messages.empty());
}

}  // namespace
}  // namespace mx::test
