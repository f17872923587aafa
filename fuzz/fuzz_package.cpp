// Reads arbitrary bytes as a sealed package and as its manifest, as the
// station reads what the operator names, and checks what the readers
// promise: a one-line refusal, or a package whose members match its manifest.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "Package.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

// A key nothing is signed with: the archive and the signature are fuzzed
// through ReadPackage, the manifest through ReadManifest.
const mx::trust::PublicKey& FixedKey() {
  static const mx::trust::PublicKey key = [] {
    mx::trust::PublicKey fixed;
    fixed.id = {1, 2, 3, 4, 5, 6, 7, 8};
    return fixed;
  }();
  return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const mx::package::PackageReading reading = mx::package::ReadPackage(bytes, {FixedKey()});
  Require(reading.package.has_value() != !reading.refusal.empty());
  Require(reading.refusal.find('\n') == std::string::npos);
  if (reading.package) {
    const auto& contents = reading.package->contents;
    Require(mx::package::Sha256Hex(contents.image) == contents.manifest.imageSha256);
  }
  mx::package::Manifest manifest;
  if (!mx::package::ReadManifest(bytes, manifest)) {
    mx::package::Manifest again;
    Require(!mx::package::ReadManifest(mx::package::ManifestText(manifest), again));
    Require(mx::package::ManifestText(again) == mx::package::ManifestText(manifest));
  }
  return 0;
}
