#pragma once

// minisign's files as values: public keys, signatures and secret keys, read
// strictly and written exactly as minisign writes them, so that keys and
// signatures pass between this program and minisign both ways. Pure: no file
// is read here and no signature is checked (Signing.h does that).

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace mx::trust {

using KeyId = std::array<std::uint8_t, 8>;
using Ed25519PublicKey = std::array<std::uint8_t, 32>;
using Ed25519SecretKey = std::array<std::uint8_t, 64>;
using Ed25519Signature = std::array<std::uint8_t, 64>;

struct PublicKey {
  KeyId id{};
  Ed25519PublicKey key{};
};

struct Signature {
  bool prehashed = true;               // "ED": the file's BLAKE2b-512 is signed; "Ed": the file itself
  KeyId keyId{};                       // of the key that signed
  Ed25519Signature signature{};        // over the file (or its hash)
  std::string trustedComment;          // signed too, by globalSignature
  Ed25519Signature globalSignature{};  // over signature || trustedComment
};

// A secret key in the clear: its id and Ed25519's seed followed by the public key.
struct SecretKey {
  KeyId id{};
  Ed25519SecretKey key{};
};

// The scrypt work that protects a secret key with a password.
struct KdfLimits {
  std::uint64_t opsLimit = 0;
  std::uint64_t memLimit = 0;
};
// minisign's: scryptsalsa208sha256's "sensitive" limits, about a second and 1 GiB.
inline constexpr KdfLimits kMinisignKdfLimits{33554432, 1073741824};

// A secret key file as read: protected keys still need their password.
struct SecretKeyFile {
  bool passwordProtected = false;
  std::array<std::uint8_t, 32> salt{};
  KdfLimits limits;
  std::array<std::uint8_t, 104> sealed{};  // key id, secret key, checksum: xored with scrypt's stream if protected
};

// Either the value read, or why the text was refused, one line for people.
template <typename Value>
using Reading = std::variant<Value, std::string>;

// Longest lines minisign writes or reads: a comment, a trusted comment.
inline constexpr std::size_t kMaxCommentBytes = 1024;
inline constexpr std::size_t kMaxTrustedCommentBytes = 8192;

Reading<PublicKey> ReadPublicKey(std::string_view text);
Reading<Signature> ReadSignature(std::string_view text);
Reading<SecretKeyFile> ReadSecretKeyFile(std::string_view text);

// The key id as minisign prints it: 16 upper-case hex digits, little-endian.
std::string KeyIdText(const KeyId& id);
// A public key's base64 line alone (as minisign -P takes it).
std::string PublicKeyLine(const PublicKey& key);

std::string PublicKeyFileText(const PublicKey& key);
// Refuses (std::invalid_argument) a trusted comment with a line break or a NUL.
std::string SignatureFileText(const Signature& signature, std::string_view untrustedComment);
std::string SecretKeyFileText(const SecretKeyFile& file);

}  // namespace mx::trust
