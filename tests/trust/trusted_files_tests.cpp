// Trusted keys from folders, and firmware files read with their signatures:
// what every front end takes or refuses.

#include <gtest/gtest.h>

#include "support/HexWriter.h"
#include "support/SignedFiles.h"
#include "support/TempDir.h"
#include "trust/TrustedFiles.h"

namespace mx::test {
namespace {

namespace fs = std::filesystem;

class TrustedFiles : public ::testing::Test {
 protected:
  std::vector<trust::PublicKey> TrustedKeys() const {
    const trust::TrustedKeys loaded = trust::LoadTrustedKeys({keys.string()}, {});
    EXPECT_EQ(loaded.error, "");
    return loaded.keys;
  }
  std::string WriteImage(const std::string& name) const {
    return files.Write(name, HexImage().Bytes(0, Pattern(64)).End().Text()).string();
  }

  TempDir files;
  fs::path keys = files.Path() / trust::kTrustedKeysFolder;
  SigningKey release;
};

TEST_F(TrustedFiles, KeysComeFromEveryPubFileOfTheFoldersThatExist) {
  release.InstallIn(keys, "release");
  SigningKey().InstallIn(keys, "backup");
  files.Write("trusted-keys/readme.txt", "not a key");
  const trust::TrustedKeys loaded = trust::LoadTrustedKeys({keys.string(), (files.Path() / "absent").string()}, {});
  EXPECT_EQ(loaded.error, "");
  EXPECT_EQ(loaded.keys.size(), 2u);
}

TEST_F(TrustedFiles, AFolderThatCannotYieldItsKeysIsAnErrorNeverAnEmptyList) {
  const struct {
    const char* what;
    std::string folderText;  // a file where the folder belongs
    std::string keyText;     // a key in the folder
    const char* errorPart;
  } cases[] = {
      {"malformed key", "", "untrusted comment: x\nnot base64\n", "broken.pub"},
      {"file as folder", "plain file", "", "trusted keys folder"},
  };
  for (const auto& c : cases) {
    fs::remove_all(keys);
    if (!c.folderText.empty()) files.Write(trust::kTrustedKeysFolder, c.folderText);
    if (!c.keyText.empty()) {
      fs::create_directories(keys);
      files.Write("trusted-keys/broken.pub", c.keyText);
    }
    const trust::TrustedKeys loaded = trust::LoadTrustedKeys({keys.string()}, {});
    EXPECT_TRUE(loaded.keys.empty()) << c.what;
    EXPECT_NE(loaded.error.find(c.errorPart), std::string::npos) << c.what << ": " << loaded.error;
  }
}

TEST_F(TrustedFiles, ASignedFileIsReadOnceAndItsDigestIsOfTheBytesChecked) {
  release.InstallIn(keys, "release");
  const std::string file = WriteImage("signed.hex");
  release.Sign(file);
  int digests = 0;
  const trust::SignedImageReading read =
      trust::ReadSignedFirmwareFile(file, TrustedKeys(), [&](std::string_view bytes) {
        ++digests;
        return std::to_string(bytes.size());
      });
  ASSERT_FALSE(read.Refused()) << read.Refusal();
  EXPECT_EQ(digests, 1);
  EXPECT_EQ(read.reading.image->FileDigest(), std::to_string(ReadFile(file).size()));
  EXPECT_EQ(read.verification->trustedComment, "test release");
}

TEST_F(TrustedFiles, EachSignatureRefusalSaysWhy) {
  release.InstallIn(keys, "release");
  const std::string unsignedFile = WriteImage("unsigned.hex");
  const std::string changed = WriteImage("changed.hex");
  release.Sign(changed);
  files.Write("changed.hex", HexImage().Bytes(0, Pattern(64, 1)).End().Text());
  const std::string foreign = WriteImage("foreign.hex");
  SigningKey().Sign(foreign);
  const std::string garbled = WriteImage("garbled.hex");
  files.Write("garbled.hex.minisig", "untrusted comment: x\n");
  const struct {
    std::string file;
    const char* refusalStart;
  } cases[] = {
      {unsignedFile, "No signature: the file must be signed by a trusted key, and "},
      {changed, "Signature refused: "},
      {foreign, "Signature refused: "},
      {garbled, "Signature refused: "},
  };
  std::vector<std::string> refusals;
  for (const auto& c : cases) {
    const trust::SignedImageReading read = trust::ReadSignedFirmwareFile(c.file, TrustedKeys(), {});
    EXPECT_TRUE(read.Refused()) << c.file;
    EXPECT_EQ(read.signatureRefusal.rfind(c.refusalStart, 0), 0u) << read.signatureRefusal;
    refusals.push_back(read.signatureRefusal);
  }
  std::sort(refusals.begin(), refusals.end());
  EXPECT_EQ(std::unique(refusals.begin(), refusals.end()), refusals.end()) << "each refusal names its own fault";
}

TEST_F(TrustedFiles, WithoutTrustedKeysAFileNeedsNoSignature) {
  const trust::SignedImageReading read = trust::ReadSignedFirmwareFile(WriteImage("plain.hex"), {}, {});
  EXPECT_FALSE(read.Refused()) << read.Refusal();
  EXPECT_FALSE(read.verification.has_value());
}

}  // namespace
}  // namespace mx::test
