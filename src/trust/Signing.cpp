#include "trust/Signing.h"

#include <sodium.h>

#include <algorithm>
#include <stdexcept>

namespace mx::trust {

namespace {

// Opening a key file with limits far beyond minisign's would let a crafted
// file take the machine's memory or minutes of work.
constexpr KdfLimits kMaxKdfLimits{4 * kMinisignKdfLimits.opsLimit, 2 * kMinisignKdfLimits.memLimit};

void RequireSodium() {
  if (sodium_init() < 0) throw std::runtime_error("libsodium cannot start");
}

const unsigned char* Data(std::string_view bytes) { return reinterpret_cast<const unsigned char*>(bytes.data()); }

using Blake2b512 = std::array<std::uint8_t, crypto_generichash_BYTES_MAX>;

Blake2b512 Prehash(std::string_view bytes) {
  Blake2b512 hash{};
  crypto_generichash(hash.data(), hash.size(), Data(bytes), bytes.size(), nullptr, 0);
  return hash;
}

std::vector<std::uint8_t> SignatureAndComment(const Ed25519Signature& signature, std::string_view comment) {
  std::vector<std::uint8_t> message(signature.begin(), signature.end());
  message.insert(message.end(), comment.begin(), comment.end());
  return message;
}

bool Valid(const Ed25519Signature& signature, const unsigned char* message, std::size_t size,
           const Ed25519PublicKey& key) {
  return crypto_sign_verify_detached(signature.data(), message, size, key.data()) == 0;
}

Ed25519Signature SignDetached(const SecretKey& key, const unsigned char* message, std::size_t size) {
  Ed25519Signature signature{};
  crypto_sign_detached(signature.data(), nullptr, message, size, key.key.data());
  return signature;
}

// minisign's checksum of a secret key: BLAKE2b-256 of "Ed", the id, the key.
std::array<std::uint8_t, 32> Checksum(const SecretKey& key) {
  crypto_generichash_state state;
  std::array<std::uint8_t, 32> sum{};
  crypto_generichash_init(&state, nullptr, 0, sum.size());
  crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>("Ed"), 2);
  crypto_generichash_update(&state, key.id.data(), key.id.size());
  crypto_generichash_update(&state, key.key.data(), key.key.size());
  crypto_generichash_final(&state, sum.data(), sum.size());
  return sum;
}

// Xors `sealed` with scrypt's stream of `password`: seals and opens alike.
bool XorWithPasswordStream(std::array<std::uint8_t, 104>& sealed, std::string_view password,
                           const SecretKeyFile& file) {
  std::array<std::uint8_t, 104> stream{};
  if (crypto_pwhash_scryptsalsa208sha256(stream.data(), stream.size(), password.data(), password.size(),
                                         file.salt.data(), file.limits.opsLimit,
                                         static_cast<std::size_t>(file.limits.memLimit)) != 0) {
    return false;
  }
  for (std::size_t i = 0; i < sealed.size(); ++i) sealed[i] ^= stream[i];
  sodium_memzero(stream.data(), stream.size());
  return true;
}

// The seed's own public key is the key's second half: a damaged or
// mistyped key shows here even without a checksum.
bool Consistent(const SecretKey& key) {
  Ed25519PublicKey derived{};
  Ed25519SecretKey again{};
  crypto_sign_seed_keypair(derived.data(), again.data(), key.key.data());
  const bool same = sodium_memcmp(again.data(), key.key.data(), again.size()) == 0;
  sodium_memzero(again.data(), again.size());
  return same;
}

}  // namespace

Verification Verify(const std::vector<PublicKey>& trustedKeys, const Signature& signature, std::string_view bytes) {
  RequireSodium();
  Verification result{Verdict::UntrustedKey, signature.keyId, signature.trustedComment};
  const auto key = std::find_if(trustedKeys.begin(), trustedKeys.end(),
                                [&](const PublicKey& trusted) { return trusted.id == signature.keyId; });
  if (key == trustedKeys.end()) return result;
  const bool fileMatches = signature.prehashed
                               ? Valid(signature.signature, Prehash(bytes).data(), Blake2b512{}.size(), key->key)
                               : Valid(signature.signature, Data(bytes), bytes.size(), key->key);
  if (!fileMatches) {
    result.verdict = Verdict::FileChanged;
    return result;
  }
  const auto message = SignatureAndComment(signature.signature, signature.trustedComment);
  result.verdict = Valid(signature.globalSignature, message.data(), message.size(), key->key)
                       ? Verdict::Verified
                       : Verdict::TrustedCommentChanged;
  return result;
}

std::string VerdictText(const Verification& verification) {
  const std::string key = KeyIdText(verification.keyId);
  switch (verification.verdict) {
    case Verdict::Verified:
      return "signed by trusted key " + key;
    case Verdict::UntrustedKey:
      return "signed by key " + key + ", which is not a trusted key";
    case Verdict::FileChanged:
      return "the file does not match its signature by key " + key + ": the file or the signature was changed";
    case Verdict::TrustedCommentChanged:
      return "the trusted comment does not match its signature by key " + key + ": it was changed";
  }
  return {};
}

KeyPair GenerateKeyPair() {
  RequireSodium();
  KeyPair pair;
  randombytes_buf(pair.secretKey.id.data(), pair.secretKey.id.size());
  crypto_sign_keypair(pair.publicKey.key.data(), pair.secretKey.key.data());
  pair.publicKey.id = pair.secretKey.id;
  return pair;
}

Signature Sign(const SecretKey& key, std::string_view bytes, std::string trustedComment, bool prehashed) {
  RequireSodium();
  Signature signature;
  signature.prehashed = prehashed;
  signature.keyId = key.id;
  signature.signature = prehashed ? SignDetached(key, Prehash(bytes).data(), Blake2b512{}.size())
                                  : SignDetached(key, Data(bytes), bytes.size());
  signature.trustedComment = std::move(trustedComment);
  const auto message = SignatureAndComment(signature.signature, signature.trustedComment);
  signature.globalSignature = SignDetached(key, message.data(), message.size());
  return signature;
}

SecretKeyFile SealSecretKey(const SecretKey& key, const std::optional<std::string>& password, KdfLimits limits) {
  RequireSodium();
  SecretKeyFile file;
  auto at = std::copy(key.id.begin(), key.id.end(), file.sealed.begin());
  at = std::copy(key.key.begin(), key.key.end(), at);
  const auto sum = Checksum(key);
  std::copy(sum.begin(), sum.end(), at);
  if (!password) return file;
  file.passwordProtected = true;
  file.limits = limits;
  randombytes_buf(file.salt.data(), file.salt.size());
  if (!XorWithPasswordStream(file.sealed, *password, file)) throw std::runtime_error("not enough memory for scrypt");
  return file;
}

Reading<SecretKey> OpenSecretKey(const SecretKeyFile& file, std::string_view password) {
  RequireSodium();
  std::array<std::uint8_t, 104> sealed = file.sealed;
  if (file.passwordProtected) {
    if (file.limits.opsLimit > kMaxKdfLimits.opsLimit || file.limits.memLimit > kMaxKdfLimits.memLimit) {
      return std::string("secret key: its password protection asks for more work or memory than allowed");
    }
    if (!XorWithPasswordStream(sealed, password, file)) {
      return std::string("secret key: its password protection could not be computed (not enough memory?)");
    }
  }
  SecretKey key;
  std::copy_n(sealed.begin(), key.id.size(), key.id.begin());
  std::copy_n(sealed.begin() + 8, key.key.size(), key.key.begin());
  const auto sum = Checksum(key);
  const bool noChecksum = std::all_of(sealed.begin() + 72, sealed.end(), [](std::uint8_t b) { return b == 0; });
  const bool sumMatches = std::equal(sum.begin(), sum.end(), sealed.begin() + 72);
  sodium_memzero(sealed.data(), sealed.size());
  // minisign leaves the checksum of a key without a password zero.
  if (!(sumMatches || (!file.passwordProtected && noChecksum)) || !Consistent(key)) {
    return std::string(file.passwordProtected ? "secret key: wrong password, or the key is damaged"
                                              : "secret key: the key is damaged");
  }
  return key;
}

}  // namespace mx::trust
