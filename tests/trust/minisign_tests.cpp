// Keys and signatures pass between minisign itself and mxtrust both ways:
// plain ("Ed", minisign -l) and prehashed ("ED", its default).

#include <gtest/gtest.h>

#include <variant>

#include "cli/ChildProcess.h"
#include "support/TempDir.h"
#include "trust/Signing.h"

namespace mx::trust {
namespace {

using test::ChildResult;
using test::ReadFile;
using test::TempDir;

const std::string kFile = ":0400000001020304F2\n:00000001FF\n";

class WithMinisign : public ::testing::Test {
 protected:
  ChildResult Minisign(std::vector<std::string> args) const {
    args.insert(args.begin(), MINISIGN_PATH);
    return test::RunChild({args, {{"HOME", dir.Path().string()}}});
  }
  std::string Path(const std::string& name) const { return (dir.Path() / name).string(); }

  TempDir dir;
  std::string file = dir.Write("fw.hex", kFile).string();
};

template <typename Value>
Value Read(const Reading<Value>& reading) {
  if (const auto* fault = std::get_if<std::string>(&reading)) throw std::runtime_error(*fault);
  return std::get<Value>(reading);
}

TEST_F(WithMinisign, ItsKeysAndSignaturesVerifyHere) {
  ASSERT_EQ(Minisign({"-G", "-W", "-p", Path("m.pub"), "-s", Path("m.key")}).exitStatus, 0);
  const PublicKey key = Read(ReadPublicKey(ReadFile(Path("m.pub"))));
  ASSERT_EQ(Minisign({"-S", "-s", Path("m.key"), "-m", file, "-t", "prehashed by minisign"}).exitStatus, 0);
  ASSERT_EQ(Minisign({"-S", "-l", "-s", Path("m.key"), "-m", file, "-x", Path("plain.minisig")}).exitStatus, 0);

  const Signature prehashed = Read(ReadSignature(ReadFile(file + ".minisig")));
  const Signature plain = Read(ReadSignature(ReadFile(Path("plain.minisig"))));
  EXPECT_TRUE(prehashed.prehashed);
  EXPECT_FALSE(plain.prehashed);
  const Verification verification = Verify({key}, prehashed, kFile);
  EXPECT_EQ(verification.verdict, Verdict::Verified);
  EXPECT_EQ(verification.trustedComment, "prehashed by minisign");
  EXPECT_EQ(Verify({key}, plain, kFile).verdict, Verdict::Verified);
  EXPECT_EQ(Verify({key}, plain, kFile + " ").verdict, Verdict::FileChanged);

  // Its secret key signs here too (it leaves the checksum of a key without a password zero).
  const SecretKey secret = Read(OpenSecretKey(Read(ReadSecretKeyFile(ReadFile(Path("m.key"))))));
  EXPECT_EQ(Verify({key}, Sign(secret, kFile, "tc"), kFile).verdict, Verdict::Verified);
}

TEST_F(WithMinisign, OurKeysAndSignaturesVerifyThere) {
  const KeyPair pair = GenerateKeyPair();
  dir.Write("k.pub", PublicKeyFileText(pair.publicKey));
  dir.Write("k.key", SecretKeyFileText(SealSecretKey(pair.secretKey, std::nullopt)));
  for (const bool prehashed : {true, false}) {
    dir.Write("fw.hex.minisig", SignatureFileText(Sign(pair.secretKey, kFile, "ours", prehashed), "u"));
    const ChildResult verified = Minisign({"-V", "-p", Path("k.pub"), "-m", file});
    EXPECT_EQ(verified.exitStatus, 0) << verified.err;
    EXPECT_NE(verified.out.find("Trusted comment: ours"), std::string::npos) << verified.out;
  }
  dir.Write("fw.hex", kFile + " ");
  EXPECT_NE(Minisign({"-V", "-p", Path("k.pub"), "-m", file}).exitStatus, 0);

  // minisign signs with our secret key file.
  ASSERT_EQ(Minisign({"-S", "-W", "-s", Path("k.key"), "-m", file, "-t", "by minisign"}).exitStatus, 0);
  EXPECT_EQ(Verify({pair.publicKey}, Read(ReadSignature(ReadFile(file + ".minisig"))), kFile + " ").verdict,
            Verdict::Verified);
}

}  // namespace
}  // namespace mx::trust
