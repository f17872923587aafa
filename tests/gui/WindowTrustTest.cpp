// The window with trusted keys installed: a signed file is written, a
// refused one is told once and leaves the window as it was.

#include "WindowFixture.h"
#include "sim/SimulatedBootloader.h"
#include "support/HexWriter.h"
#include "support/SignedFiles.h"

namespace mx::test {
namespace {

TEST_F(WindowTest, WithTrustedKeysOnlyASignedFileIsWritten) {
  SigningKey release;
  const std::filesystem::path keys = settings.Path() / "trusted-keys";
  release.InstallIn(keys, "release");
  trustedKeysFolder = keys.string();
  const std::string signedFile =
      settings.Write("signed.hex", HexImage().Bytes(0, Pattern(20 * 16)).End().Text()).string();
  release.Sign(signedFile);
  const std::string unsignedFile =
      settings.Write("unsigned.hex", HexImage().Bytes(0, Pattern(20 * 16, 5)).End().Text()).string();
  sim::SimulatedBootloader device;
  device.Start();
  ASSERT_NO_FATAL_FAILURE(StartConnectedTo(device.PortPath()));

  auto* update = Find<QToolButton>("BtnFileOpen");
  const QString status = Find<QLabel>("Label11")->text();
  dialogs->chosenFile = unsignedFile;
  update->click();
  ASSERT_EQ(dialogs->messages.size(), 1u);
  EXPECT_EQ(dialogs->messages[0].rfind("The file is not signed by a trusted key: No signature", 0), 0u)
      << dialogs->messages[0];
  EXPECT_TRUE(update->isEnabled());
  EXPECT_EQ(Find<QLabel>("Label11")->text(), status);
  EXPECT_EQ(device.EraseCount(), 0);

  dialogs->chosenFile = signedFile;
  update->click();
  std::string why;
  EXPECT_TRUE(device.MatchesHexFile(signedFile, &why)) << why;
  EXPECT_EQ(Form().LastOutcome().result, ActionResult::Success) << Form().LastOutcome().reason;
}

}  // namespace
}  // namespace mx::test
