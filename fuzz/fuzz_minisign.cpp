// Reads arbitrary bytes as a minisign public key, signature and secret key
// file, as the program reads what the user names, and checks what the
// readers promise: a refusal with a reason, or a value that is written back
// as it was read, and a check of any signature that ends in a verdict.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <variant>

#include "trust/Signing.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

template <typename Value>
std::optional<Value> Accepted(const mx::trust::Reading<Value>& reading) {
  if (const auto* fault = std::get_if<std::string>(&reading)) {
    Require(!fault->empty());
    return std::nullopt;
  }
  return std::get<Value>(reading);
}

void CheckSignature(std::string_view text) {
  const auto signature = Accepted(mx::trust::ReadSignature(text));
  if (!signature) return;
  // A carriage return inside a trusted comment is read as minisign reads it, but never written.
  if (signature->trustedComment.find('\r') != std::string::npos) return;
  const auto again = Accepted(mx::trust::ReadSignature(mx::trust::SignatureFileText(*signature, "fuzz")));
  Require(again && again->trustedComment == signature->trustedComment && again->signature == signature->signature &&
          again->globalSignature == signature->globalSignature && again->prehashed == signature->prehashed);
  static const mx::trust::KeyPair pair = mx::trust::GenerateKeyPair();
  mx::trust::PublicKey claimed = pair.publicKey;
  claimed.id = signature->keyId;
  const auto verdict = mx::trust::Verify({claimed}, *signature, text).verdict;
  Require(verdict != mx::trust::Verdict::Verified && verdict != mx::trust::Verdict::UntrustedKey);
}

void CheckKeys(std::string_view text) {
  if (const auto key = Accepted(mx::trust::ReadPublicKey(text))) {
    const auto again = Accepted(mx::trust::ReadPublicKey(mx::trust::PublicKeyFileText(*key)));
    Require(again && again->id == key->id && again->key == key->key);
  }
  // Protected keys cost scrypt's work per input: only their reading is fuzzed.
  if (const auto file = Accepted(mx::trust::ReadSecretKeyFile(text)); file && !file->passwordProtected) {
    (void)mx::trust::OpenSecretKey(*file);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  CheckSignature(text);
  CheckKeys(text);
  return 0;
}
