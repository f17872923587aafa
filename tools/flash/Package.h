#pragma once

// Sealed production packages (.mxpkg): a firmware image, the settings of the
// run that flashes it, optionally the board data, and a minisign signature
// over all of it, in one POSIX ustar archive (docs/package.md). The reader
// takes only what the writer makes: any other byte anywhere refuses the
// package. Standard C++ only; no file is read here.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "trust/Signing.h"

namespace mx::package {

inline constexpr int kFormatVersion = 1;
inline constexpr char kManifestName[] = "manifest.json";
inline constexpr char kSignatureName[] = "package.minisig";
inline constexpr char kSignatureComment[] = "signature of an mx7410-flash package";

// Limits of what a package holds.
inline constexpr std::size_t kMaxManifestBytes = 64 * 1024;
inline constexpr std::size_t kMaxImageBytes = std::size_t{64} << 20;
inline constexpr std::size_t kMaxBoardDataBytes = std::size_t{16} << 20;
inline constexpr std::size_t kMaxSignatureBytes = 16 * 1024;
inline constexpr std::size_t kMaxPackageBytes =
    kMaxManifestBytes + kMaxImageBytes + kMaxBoardDataBytes + kMaxSignatureBytes + 16 * 512;
inline constexpr std::size_t kMaxMemberNameBytes = 99;
inline constexpr std::uint64_t kMaxBoardsLimit = 1'000'000'000;

struct SerialSetting {
  std::uint32_t address = 0;
  std::string format = "u32le";  // as --serial's FORMAT
  std::uint64_t first = 1;
  std::optional<std::uint64_t> last;
  std::string pool = "default";
};

struct BoardDataSetting {
  std::string name;
  std::string sha256;
  std::uint32_t address = 0;
};

// The run's settings and what the members hold.
struct Manifest {
  std::string imageName;
  std::string imageSha256;
  std::optional<SerialSetting> serial;
  std::optional<BoardDataSetting> boardData;
  int retries = 2;
  std::uint32_t readGapMs = 100;
  std::optional<std::uint64_t> maxBoards;
};

struct Contents {
  Manifest manifest;
  std::string image;
  std::string boardData;  // when manifest.boardData
};

// A package read, its signature verified by a trusted key.
struct SealedPackage {
  Contents contents;
  trust::Verification verification;
  std::string id;  // the first 16 hex digits of the whole file's SHA-256
};

struct PackageReading {
  std::optional<SealedPackage> package;
  std::string refusal;        // one line, when no package
  bool untrustedKey = false;  // well made, but signed by a key not trusted
};

// A file name fit for a member: 1 to 99 bytes of letters, digits, '.', '_',
// '-' and '+', not starting with '.'.
bool IsMemberName(std::string_view name);

// The manifest's JSON text, and its strict reading: every field present with
// its type and range, no other field. Returns why not, or nothing.
std::string ManifestText(const Manifest& manifest);
std::optional<std::string> ReadManifest(std::string_view text, Manifest& manifest);

// The whole package. The manifest's hashes are filled in from `contents`;
// `created` is every member's time. Throws std::invalid_argument for a name
// IsMemberName refuses or a member over its limit.
std::string WritePackage(Contents contents, const trust::SecretKey& key, const std::string& trustedComment,
                         std::int64_t created);

// Reads and verifies a package's bytes against `trustedKeys`.
PackageReading ReadPackage(std::string_view bytes, const std::vector<trust::PublicKey>& trustedKeys);

std::string Sha256Hex(std::string_view bytes);

}  // namespace mx::package
