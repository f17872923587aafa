#pragma once

// Signing and checking files as minisign does, with libsodium's Ed25519,
// BLAKE2b and scrypt; nothing of the cryptography is our own.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "trust/Minisign.h"

namespace mx::trust {

enum class Verdict {
  Verified,
  UntrustedKey,           // signed by a key that is not among the trusted ones
  FileChanged,            // the file's bytes (or the signature itself) do not match
  TrustedCommentChanged,  // the file matches, its trusted comment does not
};

struct Verification {
  Verdict verdict = Verdict::FileChanged;
  KeyId keyId{};               // of the signature, whatever the verdict
  std::string trustedComment;  // trust it only when Verified
};

// Checks `bytes` and the trusted comment against `signature`, with the
// trusted key whose id the signature names.
Verification Verify(const std::vector<PublicKey>& trustedKeys, const Signature& signature, std::string_view bytes);

// The sentence a refusal shows: what was wrong, for people.
std::string VerdictText(const Verification& verification);

struct KeyPair {
  PublicKey publicKey;
  SecretKey secretKey;
};

KeyPair GenerateKeyPair();

// A signature of `bytes`; prehashed (minisign's default) signs their
// BLAKE2b-512. `trustedComment` must be one line (SignatureFileText checks).
Signature Sign(const SecretKey& key, std::string_view bytes, std::string trustedComment, bool prehashed = true);

// The file that keeps `key`: under `password` with scrypt (minisign's
// limits unless told), or in the clear without one.
SecretKeyFile SealSecretKey(const SecretKey& key, const std::optional<std::string>& password,
                            KdfLimits limits = kMinisignKdfLimits);

// The key a file keeps; `password` is ignored for an unprotected one. A wrong
// password, a damaged key and limits beyond reason are refused.
Reading<SecretKey> OpenSecretKey(const SecretKeyFile& file, std::string_view password = {});

}  // namespace mx::trust
