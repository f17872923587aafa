// The minisign formats and checks of mxtrust: every changed byte refused,
// every malformed file named, keys sealed and opened.

#include <gtest/gtest.h>
#include <sodium.h>

#include <variant>

#include "trust/Signing.h"

namespace mx::trust {
namespace {

template <typename Value>
const Value& Accepted(const Reading<Value>& reading) {
  if (const auto* fault = std::get_if<std::string>(&reading)) ADD_FAILURE() << *fault;
  return std::get<Value>(reading);
}

template <typename Value>
std::string Refusal(const Reading<Value>& reading) {
  const auto* fault = std::get_if<std::string>(&reading);
  return fault ? *fault : "(accepted)";
}

const std::string kFile = ":0400000001020304F2\n:00000001FF\n";

class Signed : public ::testing::TestWithParam<bool> {
 protected:
  KeyPair pair = GenerateKeyPair();
  std::vector<PublicKey> trusted{pair.publicKey};
  Signature signature = Sign(pair.secretKey, kFile, "v1.2 board A", GetParam());

  Verdict Check(const Signature& s, std::string_view bytes = kFile) const { return Verify(trusted, s, bytes).verdict; }
};

TEST_P(Signed, VerifiesThroughItsOwnFileText) {
  const Signature read = Accepted(ReadSignature(SignatureFileText(signature, "any comment")));
  const Verification verification = Verify(trusted, read, kFile);
  EXPECT_EQ(verification.verdict, Verdict::Verified);
  EXPECT_EQ(verification.trustedComment, "v1.2 board A");
  EXPECT_EQ(verification.keyId, pair.publicKey.id);
  EXPECT_EQ(read.prehashed, GetParam());
}

TEST_P(Signed, EveryChangedByteOfTheFileIsRefused) {
  for (std::size_t at = 0; at < kFile.size(); ++at) {
    std::string changed = kFile;
    changed[at] = static_cast<char>(changed[at] ^ 0x01);
    EXPECT_EQ(Check(signature, changed), Verdict::FileChanged) << "byte " << at;
  }
  EXPECT_EQ(Check(signature, kFile + "\n"), Verdict::FileChanged);
  EXPECT_EQ(Check(signature, kFile.substr(1)), Verdict::FileChanged);
}

TEST_P(Signed, EveryChangedByteOfTheSignatureOrTrustedCommentIsRefused) {
  for (std::size_t at = 0; at < signature.signature.size(); ++at) {
    Signature changed = signature;
    changed.signature[at] ^= 0x01;
    EXPECT_EQ(Check(changed), Verdict::FileChanged) << "signature byte " << at;
  }
  for (std::size_t at = 0; at < signature.globalSignature.size(); ++at) {
    Signature changed = signature;
    changed.globalSignature[at] ^= 0x01;
    EXPECT_EQ(Check(changed), Verdict::TrustedCommentChanged) << "global signature byte " << at;
  }
  for (std::size_t at = 0; at < signature.trustedComment.size(); ++at) {
    Signature changed = signature;
    changed.trustedComment[at] ^= 0x01;
    EXPECT_EQ(Check(changed), Verdict::TrustedCommentChanged) << "comment byte " << at;
  }
  for (std::size_t at = 0; at < signature.keyId.size(); ++at) {
    Signature changed = signature;
    changed.keyId[at] ^= 0x01;
    EXPECT_EQ(Check(changed), Verdict::UntrustedKey) << "key id byte " << at;
  }
  Signature otherForm = signature;
  otherForm.prehashed = !otherForm.prehashed;
  EXPECT_EQ(Check(otherForm), Verdict::FileChanged);
}

TEST_P(Signed, OnlyTheTrustedKeyWithTheSignaturesIdVerifies) {
  KeyPair other = GenerateKeyPair();
  EXPECT_EQ(Verify({other.publicKey}, signature, kFile).verdict, Verdict::UntrustedKey);
  EXPECT_EQ(Verify({}, signature, kFile).verdict, Verdict::UntrustedKey);
  other.publicKey.id = pair.publicKey.id;  // another key claiming the same id
  EXPECT_EQ(Verify({other.publicKey}, signature, kFile).verdict, Verdict::FileChanged);
  EXPECT_EQ(Verify({other.publicKey, pair.publicKey}, signature, kFile).verdict, Verdict::FileChanged);
  EXPECT_EQ(Verify({GenerateKeyPair().publicKey, pair.publicKey}, signature, kFile).verdict, Verdict::Verified);
}

INSTANTIATE_TEST_SUITE_P(PlainAndPrehashed, Signed, ::testing::Bool());

std::string Base64(const std::string& bytes) {
  std::string text(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(text.data(), text.size(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                    sodium_base64_VARIANT_ORIGINAL);
  text.pop_back();
  return text;
}

struct ReadingCase {
  std::string name;
  std::string text;
  std::string refusal;  // a part of the message
};

TEST(MinisignFiles, MalformedPublicKeysAreRefusedWithTheirFault) {
  const std::string good = PublicKeyFileText(GenerateKeyPair().publicKey);
  const std::string line = good.substr(good.find('\n') + 1, 56);
  const std::string header = "untrusted comment: k\n";
  const std::vector<ReadingCase> cases{
      {"empty", "", "exactly 2 lines"},
      {"comment only", header, "exactly 2 lines"},
      {"truncated base64", header + line.substr(0, 52) + "\n", "not the base64"},
      {"base64 one byte short", header + Base64(std::string(41, 'E')) + "\n", "not the base64"},
      {"base64 one byte long", header + Base64("Ed" + std::string(41, 'x')) + "\n", "not the base64"},
      {"bad character", header + "*" + line.substr(1) + "\n", "not the base64"},
      {"spaces inside", header + line.substr(0, 20) + " " + line.substr(20) + "\n", "not the base64"},
      {"no padding expected but junk", header + line + "=\n", "not the base64"},
      {"no prefix", "comment: k\n" + line + "\n", "must start with"},
      {"extra line", good + "more\n", "exactly 2 lines"},
      {"NUL byte", header + line + "\n" + std::string(1, '\0'), "NUL"},
      {"wrong algorithm", header + Base64("ED" + std::string(40, 'x')) + "\n", "not an Ed25519 key"},
      {"a signature", header + Base64("ED" + std::string(72, 'x')) + "\n", "not the base64"},
      {"oversized", header + line + "\n" + std::string(4096, '\n'), "too large"},
      {"comment too long", "untrusted comment: " + std::string(1100, 'c') + "\n" + line + "\n", "too long"},
  };
  for (const ReadingCase& c : cases) {
    EXPECT_NE(Refusal(ReadPublicKey(c.text)).find(c.refusal), std::string::npos)
        << c.name << ": " << Refusal(ReadPublicKey(c.text));
  }
  EXPECT_TRUE(std::holds_alternative<PublicKey>(ReadPublicKey(header + line + "\r\n")));
  EXPECT_TRUE(std::holds_alternative<PublicKey>(ReadPublicKey(header + line)));
}

TEST(MinisignFiles, MalformedSignaturesAreRefusedWithTheirFault) {
  const KeyPair pair = GenerateKeyPair();
  const std::string good = SignatureFileText(Sign(pair.secretKey, kFile, "tc"), "u");
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < good.size();) {
    const std::size_t end = good.find('\n', at);
    lines.push_back(good.substr(at, end - at));
    at = end + 1;
  }
  auto join = [](std::vector<std::string> parts) {
    std::string text;
    for (const std::string& part : parts) text += part + "\n";
    return text;
  };
  const std::vector<ReadingCase> cases{
      {"truncated to three lines", join({lines[0], lines[1], lines[2]}), "exactly 4 lines"},
      {"five lines", good + "x\n", "exactly 4 lines"},
      {"algorithm Ex", join({lines[0], Base64("Ex" + std::string(72, 'x')), lines[2], lines[3]}), "unknown algorithm"},
      {"a public key line", join({lines[0], Base64("Ed" + std::string(40, 'x')), lines[2], lines[3]}),
       "not the base64"},
      {"short global signature", join({lines[0], lines[1], lines[2], lines[3].substr(0, 84)}), "fourth line"},
      {"no trusted prefix", join({lines[0], lines[1], "comment: tc", lines[3]}), "third line"},
      {"trusted comment too long", join({lines[0], lines[1], "trusted comment: " + std::string(8200, 'c'), lines[3]}),
       "too long"},
      {"oversized", good + std::string(10000, 'x'), "too large"},
      {"no untrusted prefix", join({"u", lines[1], lines[2], lines[3]}), "must start with"},
  };
  for (const ReadingCase& c : cases) {
    EXPECT_NE(Refusal(ReadSignature(c.text)).find(c.refusal), std::string::npos)
        << c.name << ": " << Refusal(ReadSignature(c.text));
  }
  EXPECT_THROW(SignatureFileText(Sign(pair.secretKey, kFile, "two\nlines"), "u"), std::invalid_argument);
}

TEST(MinisignFiles, SecretKeysOpenOnlyWithTheirPasswordAndWhole) {
  const KeyPair pair = GenerateKeyPair();
  const KdfLimits quick{crypto_pwhash_scryptsalsa208sha256_OPSLIMIT_MIN,
                        crypto_pwhash_scryptsalsa208sha256_MEMLIMIT_MIN};
  const std::string text = SecretKeyFileText(SealSecretKey(pair.secretKey, "pass word", quick));
  const SecretKeyFile file = Accepted(ReadSecretKeyFile(text));
  EXPECT_TRUE(file.passwordProtected);
  const SecretKey opened = Accepted(OpenSecretKey(file, "pass word"));
  EXPECT_EQ(opened.key, pair.secretKey.key);
  EXPECT_EQ(opened.id, pair.secretKey.id);
  EXPECT_NE(Refusal(OpenSecretKey(file, "pass wore")).find("wrong password"), std::string::npos);

  SecretKeyFile greedy = file;
  greedy.limits.memLimit = std::uint64_t{64} << 30;
  EXPECT_NE(Refusal(OpenSecretKey(greedy, "pass word")).find("more work or memory"), std::string::npos);

  const SecretKeyFile clear = SealSecretKey(pair.secretKey, std::nullopt);
  EXPECT_EQ(Accepted(OpenSecretKey(Accepted(ReadSecretKeyFile(SecretKeyFileText(clear))))).key, pair.secretKey.key);
  for (std::size_t at = 0; at < clear.sealed.size(); ++at) {
    SecretKeyFile damaged = clear;
    damaged.sealed[at] ^= 0x01;
    EXPECT_TRUE(std::holds_alternative<std::string>(OpenSecretKey(damaged))) << "byte " << at;
  }
  EXPECT_NE(Refusal(ReadSecretKeyFile(PublicKeyFileText(pair.publicKey))).find("not the base64"), std::string::npos);
  EXPECT_NE(Refusal(ReadPublicKey(text)).find("not the base64"), std::string::npos);
}

TEST(MinisignFiles, KeyIdsReadAsMinisignPrintsThem) {
  const KeyId id{0x21, 0xE1, 0xC6, 0x6F, 0xB5, 0x22, 0x3B, 0x26};
  EXPECT_EQ(KeyIdText(id), "263B22B56FC6E121");
}

}  // namespace
}  // namespace mx::trust
