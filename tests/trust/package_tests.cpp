// Sealed packages: what the writer makes is read back, and any other byte
// anywhere, a member added, taken away or replaced refuses the package.

#include <gtest/gtest.h>

#include "Package.h"

namespace mx::package {
namespace {

const std::string kImage = ":0400000001020304F2\n:00000001FF\n";

class Packages : public ::testing::Test {
 protected:
  trust::KeyPair pair = trust::GenerateKeyPair();
  std::vector<trust::PublicKey> trusted{pair.publicKey};

  Contents Sample(bool boardData) const {
    Contents contents;
    contents.manifest.imageName = "fw-1.2.hex";
    contents.manifest.serial = SerialSetting{0x10, "dec:8", 100, 199, "line-a"};
    contents.manifest.maxBoards = 50;
    contents.image = kImage;
    if (boardData) {
      contents.manifest.boardData = BoardDataSetting{"macs.txt", {}, 0x20};
      contents.boardData = "001122334455\n";
    }
    return contents;
  }
  std::string Write(const Contents& contents, const trust::SecretKey* key = nullptr) const {
    return WritePackage(contents, key ? *key : pair.secretKey, "line A", 1765000000);
  }
  std::string Refusal(std::string_view bytes) const {
    const PackageReading reading = ReadPackage(bytes, trusted);
    return reading.package ? "(accepted)" : reading.refusal;
  }
};

TEST_F(Packages, ReadsBackWhatWasWrittenWithItsSettingsAndId) {
  for (const bool boardData : {false, true}) {
    const std::string bytes = Write(Sample(boardData));
    EXPECT_EQ(bytes.size() % 512, 0u);
    const PackageReading reading = ReadPackage(bytes, trusted);
    ASSERT_TRUE(reading.package) << reading.refusal;
    const Contents& read = reading.package->contents;
    EXPECT_EQ(read.image, kImage);
    EXPECT_EQ(read.boardData, boardData ? "001122334455\n" : "");
    EXPECT_EQ(read.manifest.imageSha256, Sha256Hex(kImage));
    EXPECT_EQ(read.manifest.serial->format, "dec:8");
    EXPECT_EQ(read.manifest.serial->last, 199u);
    EXPECT_EQ(read.manifest.maxBoards, 50u);
    EXPECT_EQ(reading.package->verification.trustedComment, "line A");
    EXPECT_EQ(reading.package->id, Sha256Hex(bytes).substr(0, 16));
  }
}

TEST_F(Packages, EveryChangedByteIsRefused) {
  const std::string bytes = Write(Sample(true));
  for (std::size_t index = 0; index < bytes.size(); ++index) {
    std::string changed = bytes;
    changed[index] = static_cast<char>(changed[index] ^ 0x01);
    ASSERT_FALSE(ReadPackage(changed, trusted).package) << "byte " << index;
  }
}

TEST_F(Packages, CutOrExtendedArchivesAreRefused) {
  const std::string bytes = Write(Sample(false));
  for (std::size_t size : {std::size_t{0}, std::size_t{511}, std::size_t{512}, bytes.size() - 512, bytes.size() - 1}) {
    EXPECT_FALSE(ReadPackage(bytes.substr(0, size), trusted).package) << size;
  }
  EXPECT_EQ(Refusal(bytes + std::string(512, '\0')),
            "Package refused: the package does not end with exactly two zero blocks");
  EXPECT_FALSE(ReadPackage(bytes + "x", trusted).package);
  EXPECT_EQ(Refusal(std::string(kMaxPackageBytes + 1, '\0')), "Package refused: it is larger than a package allows");
}

TEST_F(Packages, AnotherKeysOrAnotherFilesSignatureIsRefused) {
  const trust::KeyPair other = trust::GenerateKeyPair();
  const PackageReading untrusted = ReadPackage(Write(Sample(false), &other.secretKey), trusted);
  EXPECT_FALSE(untrusted.package);
  EXPECT_TRUE(untrusted.untrustedKey);
  EXPECT_NE(untrusted.refusal.find(trust::KeyIdText(other.publicKey.id)), std::string::npos) << untrusted.refusal;

  // The signature member of one package moved onto another: both are well made.
  Contents second = Sample(false);
  second.image = ":0400000005060708DA\n:00000001FF\n";
  const std::string first = Write(Sample(false));
  const std::string replaced = Write(second);
  const std::size_t signatureAt = first.size() - 3 * 512;
  EXPECT_EQ(first.size(), replaced.size());
  const std::string swapped = replaced.substr(0, signatureAt) + first.substr(signatureAt);
  const PackageReading reading = ReadPackage(swapped, trusted);
  EXPECT_FALSE(reading.package);
  EXPECT_FALSE(reading.untrustedKey);
  EXPECT_EQ(reading.refusal, Refusal(swapped));
}

TEST_F(Packages, ManifestsAreReadStrictly) {
  Manifest manifest;
  const std::string good = ManifestText(ReadPackage(Write(Sample(true)), trusted).package->contents.manifest);
  EXPECT_FALSE(ReadManifest(good, manifest).has_value());
  const std::vector<std::pair<std::string, std::string>> edits{
      {"\"retries\": 2", "\"retries\": 101"},       {"\"retries\": 2", "\"retries\": -1"},
      {"\"retries\": 2", "\"retries\": \"2\""},     {"\"format\": 1", "\"format\": 2"},
      {"\"format\": 1", "\"format\": 1, \"x\": 0"}, {"\"dec:8\"", "\"dec:2\""},
      {"\"max_boards\": 50", "\"max_boards\": 0"},  {"\"fw-1.2.hex\"", "\"../fw.hex\""},
      {"\"fw-1.2.hex\"", "\"manifest.json\""},      {"\"read_gap_ms\": 100", "\"read_gap_ms\": 0"},
  };
  for (const auto& [from, to] : edits) {
    std::string text = good;
    ASSERT_NE(text.find(from), std::string::npos) << from;
    text.replace(text.find(from), from.size(), to);
    EXPECT_TRUE(ReadManifest(text, manifest).has_value()) << to;
  }
  EXPECT_TRUE(ReadManifest("{", manifest).has_value());
}

TEST_F(Packages, WritingRefusesNamesThatAreNotPlainFileNames) {
  for (const std::string& name :
       std::vector<std::string>{"", "../fw.hex", "/abs.hex", ".hidden", "a b.hex", std::string(100, 'a')}) {
    Contents contents = Sample(false);
    contents.manifest.imageName = name;
    EXPECT_THROW(Write(contents), std::invalid_argument) << name;
  }
}

}  // namespace
}  // namespace mx::package
