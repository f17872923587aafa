#include "trust/Minisign.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace mx::trust {

namespace {

constexpr std::string_view kCommentPrefix = "untrusted comment: ";
constexpr std::string_view kTrustedCommentPrefix = "trusted comment: ";
constexpr std::string_view kPlainAlgorithm = "Ed";
constexpr std::string_view kPrehashedAlgorithm = "ED";
constexpr std::string_view kScryptKdf = "Sc";
constexpr std::string_view kNoKdf{"\0\0", 2};
constexpr std::string_view kBlake2Checksum = "B2";

// The binary parts of each file, as minisign lays them out.
constexpr std::size_t kPublicKeyBytes = 2 + 8 + 32;
constexpr std::size_t kSignatureBytes = 2 + 8 + 64;
constexpr std::size_t kSecretKeyBytes = 2 + 2 + 2 + 32 + 8 + 8 + 104;

// Whole files are refused beyond their longest lines: a key is never large.
constexpr std::size_t kMaxKeyFileBytes = kMaxCommentBytes + 512;
constexpr std::size_t kMaxSignatureFileBytes = kMaxCommentBytes + kMaxTrustedCommentBytes + 512;

using Bytes = std::vector<std::uint8_t>;

// The file's lines without their "\n" and any "\r" before it; nullopt when it has not
// exactly `count` lines (one final line break allowed) or holds a NUL.
std::optional<std::vector<std::string_view>> Lines(std::string_view text, std::size_t count) {
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  if (text.ends_with('\n')) text.remove_suffix(1);
  std::vector<std::string_view> lines;
  while (true) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    while (line.ends_with('\r')) line.remove_suffix(1);  // as minisign trims its lines
    lines.push_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  if (lines.size() != count) return std::nullopt;
  return lines;
}

std::string LineCount(std::string_view what, std::size_t count) {
  return std::string(what) + " must have exactly " + std::to_string(count) + " lines and no NUL byte";
}

// Exactly `size` bytes from strict base64 (standard alphabet, padded, no spaces).
std::optional<Bytes> Base64Bytes(std::string_view line, std::size_t size) {
  Bytes bytes(size + 1);  // one more, so that a longer text shows as longer
  std::size_t length = 0;
  const char* end = nullptr;
  if (sodium_base642bin(bytes.data(), bytes.size(), line.data(), line.size(), nullptr, &length, &end,
                        sodium_base64_VARIANT_ORIGINAL) != 0 ||
      end != line.data() + line.size() || length != size) {
    return std::nullopt;
  }
  bytes.resize(size);
  return bytes;
}

std::string Base64Text(const std::uint8_t* bytes, std::size_t size) {
  std::string text(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(text.data(), text.size(), bytes, size, sodium_base64_VARIANT_ORIGINAL);
  text.pop_back();  // the terminating NUL
  return text;
}

std::string Base64Text(const Bytes& bytes) { return Base64Text(bytes.data(), bytes.size()); }

std::string_view Tag(const Bytes& bytes, std::size_t at) {
  return {reinterpret_cast<const char*>(bytes.data()) + at, 2};
}

template <std::size_t N>
void CopyOut(const Bytes& bytes, std::size_t at, std::array<std::uint8_t, N>& to) {
  std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), N, to.begin());
}

template <std::size_t N>
void Append(Bytes& bytes, const std::array<std::uint8_t, N>& from) {
  bytes.insert(bytes.end(), from.begin(), from.end());
}

void Append(Bytes& bytes, std::string_view tag) { bytes.insert(bytes.end(), tag.begin(), tag.end()); }

std::uint64_t LittleEndian64(const Bytes& bytes, std::size_t at) {
  std::uint64_t value = 0;
  for (std::size_t i = 8; i-- > 0;) value = (value << 8) | bytes[at + i];
  return value;
}

void AppendLittleEndian64(Bytes& bytes, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// An untrusted comment line: its prefix, and no longer than minisign reads.
std::optional<std::string> CommentFault(std::string_view line, std::string_view what) {
  if (!line.starts_with(kCommentPrefix)) {
    return std::string(what) + ": the first line must start with \"" + std::string(kCommentPrefix) + "\"";
  }
  if (line.size() + 1 > kMaxCommentBytes) return std::string(what) + ": the comment line is too long";
  return std::nullopt;
}

// What every minisign file starts with: a bounded size, its lines, an
// untrusted comment, and a second line with `binarySize` bytes in base64.
struct Framing {
  std::vector<std::string_view> lines;
  Bytes binary;
};

Reading<Framing> Frame(std::string_view text, std::string_view what, std::size_t maxBytes, std::size_t lineCount,
                       std::size_t binarySize) {
  if (text.size() > maxBytes) return std::string(what) + ": the file is too large for a " + std::string(what);
  auto lines = Lines(text, lineCount);
  if (!lines) return LineCount(what, lineCount);
  if (auto fault = CommentFault((*lines)[0], what)) return *fault;
  auto binary = Base64Bytes((*lines)[1], binarySize);
  if (!binary) return std::string(what) + ": the second line is not the base64 of a minisign " + std::string(what);
  return Framing{std::move(*lines), std::move(*binary)};
}

}  // namespace

Reading<PublicKey> ReadPublicKey(std::string_view text) {
  constexpr std::string_view what = "public key";
  const auto framing = Frame(text, what, kMaxKeyFileBytes, 2, kPublicKeyBytes);
  if (const auto* fault = std::get_if<std::string>(&framing)) return *fault;
  const Bytes& bytes = std::get<Framing>(framing).binary;
  if (Tag(bytes, 0) != kPlainAlgorithm) return std::string(what) + ": not an Ed25519 key (algorithm \"Ed\")";
  PublicKey key;
  CopyOut(bytes, 2, key.id);
  CopyOut(bytes, 10, key.key);
  return key;
}

Reading<Signature> ReadSignature(std::string_view text) {
  constexpr std::string_view what = "signature";
  const auto framing = Frame(text, what, kMaxSignatureFileBytes, 4, kSignatureBytes);
  if (const auto* fault = std::get_if<std::string>(&framing)) return *fault;
  const auto& [lines, bytes] = std::get<Framing>(framing);
  Signature signature;
  if (Tag(bytes, 0) == kPlainAlgorithm) {
    signature.prehashed = false;
  } else if (Tag(bytes, 0) != kPrehashedAlgorithm) {
    return std::string(what) + ": unknown algorithm (neither \"Ed\" nor \"ED\")";
  }
  CopyOut(bytes, 2, signature.keyId);
  CopyOut(bytes, 10, signature.signature);
  const std::string_view trusted = lines[2];
  if (!trusted.starts_with(kTrustedCommentPrefix)) {
    return std::string(what) + ": the third line must start with \"" + std::string(kTrustedCommentPrefix) + "\"";
  }
  if (trusted.size() + 1 > kMaxTrustedCommentBytes) return std::string(what) + ": the trusted comment is too long";
  signature.trustedComment = trusted.substr(kTrustedCommentPrefix.size());
  const auto global = Base64Bytes(lines[3], 64);
  if (!global) return std::string(what) + ": the fourth line is not the base64 of a 64-byte signature";
  CopyOut(*global, 0, signature.globalSignature);
  return signature;
}

Reading<SecretKeyFile> ReadSecretKeyFile(std::string_view text) {
  constexpr std::string_view what = "secret key";
  const auto framing = Frame(text, what, kMaxKeyFileBytes, 2, kSecretKeyBytes);
  if (const auto* fault = std::get_if<std::string>(&framing)) return *fault;
  const Bytes& bytes = std::get<Framing>(framing).binary;
  if (Tag(bytes, 0) != kPlainAlgorithm) return std::string(what) + ": not an Ed25519 key (algorithm \"Ed\")";
  SecretKeyFile file;
  if (Tag(bytes, 2) == kScryptKdf) {
    file.passwordProtected = true;
  } else if (Tag(bytes, 2) != kNoKdf) {
    return std::string(what) + ": unknown password protection (neither scrypt nor none)";
  }
  if (Tag(bytes, 4) != kBlake2Checksum) return std::string(what) + ": unknown checksum (not BLAKE2b)";
  CopyOut(bytes, 6, file.salt);
  file.limits = {LittleEndian64(bytes, 38), LittleEndian64(bytes, 46)};
  CopyOut(bytes, 54, file.sealed);
  return file;
}

std::string KeyIdText(const KeyId& id) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (auto byte = id.rbegin(); byte != id.rend(); ++byte) {
    text += kDigits[*byte >> 4];
    text += kDigits[*byte & 0xF];
  }
  return text;
}

std::string PublicKeyLine(const PublicKey& key) {
  Bytes bytes;
  Append(bytes, kPlainAlgorithm);
  Append(bytes, key.id);
  Append(bytes, key.key);
  return Base64Text(bytes);
}

std::string PublicKeyFileText(const PublicKey& key) {
  return std::string(kCommentPrefix) + "minisign public key " + KeyIdText(key.id) + "\n" + PublicKeyLine(key) + "\n";
}

std::string SignatureFileText(const Signature& signature, std::string_view untrustedComment) {
  const std::string_view trusted = signature.trustedComment;
  if (trusted.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos ||
      untrustedComment.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
    throw std::invalid_argument("a comment must be one line without NUL bytes");
  }
  if (kTrustedCommentPrefix.size() + trusted.size() + 1 > kMaxTrustedCommentBytes ||
      kCommentPrefix.size() + untrustedComment.size() + 1 > kMaxCommentBytes) {
    throw std::invalid_argument("a comment is too long");
  }
  Bytes bytes;
  Append(bytes, signature.prehashed ? kPrehashedAlgorithm : kPlainAlgorithm);
  Append(bytes, signature.keyId);
  Append(bytes, signature.signature);
  return std::string(kCommentPrefix) + std::string(untrustedComment) + "\n" + Base64Text(bytes) + "\n" +
         std::string(kTrustedCommentPrefix) + signature.trustedComment + "\n" +
         Base64Text(signature.globalSignature.data(), signature.globalSignature.size()) + "\n";
}

std::string SecretKeyFileText(const SecretKeyFile& file) {
  Bytes bytes;
  Append(bytes, kPlainAlgorithm);
  Append(bytes, file.passwordProtected ? kScryptKdf : kNoKdf);
  Append(bytes, kBlake2Checksum);
  Append(bytes, file.salt);
  AppendLittleEndian64(bytes, file.limits.opsLimit);
  AppendLittleEndian64(bytes, file.limits.memLimit);
  Append(bytes, file.sealed);
  const std::string comment = file.passwordProtected ? "minisign encrypted secret key" : "minisign secret key";
  std::string text = std::string(kCommentPrefix) + comment + "\n" + Base64Text(bytes) + "\n";
  sodium_memzero(bytes.data(), bytes.size());
  return text;
}

}  // namespace mx::trust
