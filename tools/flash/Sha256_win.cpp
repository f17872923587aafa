#include <windows.h>
// after windows.h, which defines its types
#include <bcrypt.h>

#include <vector>

#include "Sha256.h"

namespace mx::flash {

namespace {

// An algorithm provider and a hash object of CNG, closed in reverse order.
class Sha256Hash {
 public:
  Sha256Hash() {
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm_, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
      algorithm_ = nullptr;
      return;
    }
    if (!BCRYPT_SUCCESS(BCryptCreateHash(algorithm_, &hash_, nullptr, 0, nullptr, 0, 0))) hash_ = nullptr;
  }
  ~Sha256Hash() {
    if (hash_ != nullptr) BCryptDestroyHash(hash_);
    if (algorithm_ != nullptr) BCryptCloseAlgorithmProvider(algorithm_, 0);
  }
  Sha256Hash(const Sha256Hash&) = delete;
  Sha256Hash& operator=(const Sha256Hash&) = delete;

  // The digest of `bytes`; empty when CNG refused.
  std::vector<unsigned char> Digest(std::string_view bytes) {
    std::vector<unsigned char> digest(32);
    auto* data = reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data()));
    if (hash_ == nullptr || !BCRYPT_SUCCESS(BCryptHashData(hash_, data, static_cast<ULONG>(bytes.size()), 0)) ||
        !BCRYPT_SUCCESS(BCryptFinishHash(hash_, digest.data(), static_cast<ULONG>(digest.size()), 0))) {
      return {};
    }
    return digest;
  }

 private:
  BCRYPT_ALG_HANDLE algorithm_ = nullptr;
  BCRYPT_HASH_HANDLE hash_ = nullptr;
};

}  // namespace

std::string Sha256Hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const unsigned char byte : Sha256Hash().Digest(bytes)) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0x0F];
  }
  return hex;
}

}  // namespace mx::flash
