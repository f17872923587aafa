#include "Package.h"

#include <sodium.h>

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>
#include <variant>

#include "update/BoardPatch.h"

namespace mx::package {

namespace {

using Json = nlohmann::json;

constexpr std::size_t kBlock = 512;
constexpr std::size_t kSizeOffset = 124;
constexpr std::size_t kTimeOffset = 136;
constexpr std::size_t kChecksumOffset = 148;
constexpr std::size_t kNumberDigits = 11;  // with a NUL after them: 12 bytes
constexpr std::int64_t kMaxTime = 077777777777;
constexpr std::uint32_t kMaxReadGapMs = 60000;
constexpr int kMaxRetries = 100;
constexpr std::size_t kMaxPoolBytes = 200;

std::string Octal(std::uint64_t value, int digits) {
  char text[24];
  std::snprintf(text, sizeof text, "%0*llo", digits, static_cast<unsigned long long>(value));
  return text;
}

void Put(std::string& block, std::size_t offset, std::string_view text) { block.replace(offset, text.size(), text); }

// The one header this writer makes for a regular file: fixed mode and
// owner, no link, no prefix; only the name, size and time vary.
std::string Header(std::string_view name, std::uint64_t size, std::int64_t time) {
  std::string block(kBlock, '\0');
  Put(block, 0, name);
  Put(block, 100, "0000644");
  Put(block, 108, "0000000");
  Put(block, 116, "0000000");
  Put(block, kSizeOffset, Octal(size, kNumberDigits));
  Put(block, kTimeOffset, Octal(static_cast<std::uint64_t>(time), kNumberDigits));
  Put(block, kChecksumOffset, "        ");
  block[156] = '0';
  Put(block, 257,
      std::string_view("ustar\0"
                       "00",
                       8));
  Put(block, 329, "0000000");
  Put(block, 337, "0000000");
  unsigned sum = 0;
  for (const char c : block) sum += static_cast<unsigned char>(c);
  Put(block, kChecksumOffset, Octal(sum, 6));
  block[kChecksumOffset + 6] = '\0';
  return block;
}

std::size_t Padding(std::size_t size) { return (kBlock - size % kBlock) % kBlock; }

void AppendMember(std::string& archive, std::string_view name, std::string_view bytes, std::int64_t time) {
  archive += Header(name, bytes.size(), time);
  archive += bytes;
  archive.append(Padding(bytes.size()), '\0');
}

std::string SignatureText(const trust::Signature& signature) {
  return trust::SignatureFileText(signature, kSignatureComment);
}

// ---- reading the archive

struct RawMember {
  std::string name;
  std::string_view bytes;
  std::size_t headerOffset = 0;
};

std::optional<std::uint64_t> OctalField(std::string_view field) {
  if (field.size() != kNumberDigits + 1 || field.back() != '\0') return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : field.substr(0, kNumberDigits)) {
    if (c < '0' || c > '7') return std::nullopt;
    value = value * 8 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

bool AllZero(std::string_view bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](char c) { return c == '\0'; });
}

std::size_t LimitOf(std::size_t index, std::size_t count) {
  if (index == 0) return kMaxManifestBytes;
  if (index + 1 == count) return kMaxSignatureBytes;
  return index == 1 ? kMaxImageBytes : kMaxBoardDataBytes;
}

// Reads the members up to the end-of-archive blocks; every header must be
// the one the writer makes, with the first member's time.
std::variant<std::vector<RawMember>, std::string> ReadMembers(std::string_view bytes) {
  std::vector<RawMember> members;
  std::optional<std::int64_t> time;
  std::size_t offset = 0;
  for (;;) {
    const std::string where = "member " + std::to_string(members.size() + 1);
    if (bytes.size() - offset < kBlock) return "the package is cut short (" + where + "'s header)";
    const std::string_view header = bytes.substr(offset, kBlock);
    if (AllZero(header)) break;
    if (members.size() == 4) return "the package holds more than 4 members";
    const std::string name(header.substr(0, std::min(header.find('\0'), kMaxMemberNameBytes + 1)));
    const auto size = OctalField(header.substr(kSizeOffset, 12));
    const auto stamp = OctalField(header.substr(kTimeOffset, 12));
    if (!size || !stamp || !IsMemberName(name) || header != Header(name, *size, static_cast<std::int64_t>(*stamp))) {
      return where + ": not a plain file's header as a package has it (links, folders and paths are refused)";
    }
    if (time && *time != static_cast<std::int64_t>(*stamp)) return where + ": its time differs from the manifest's";
    time = static_cast<std::int64_t>(*stamp);
    if (*size > LimitOf(members.size(), 4)) return where + " \"" + name + "\" is larger than a package allows";
    offset += kBlock;
    if (bytes.size() - offset < *size + Padding(*size)) return "the package is cut short (member \"" + name + "\")";
    members.push_back({name, bytes.substr(offset, *size), offset - kBlock});
    if (!AllZero(bytes.substr(offset + *size, Padding(*size)))) return where + ": its padding is not zero";
    offset += *size + Padding(*size);
  }
  if (bytes.size() - offset != 2 * kBlock || !AllZero(bytes.substr(offset))) {
    return "the package does not end with exactly two zero blocks";
  }
  return members;
}

std::optional<std::string> CheckMemberOrder(const std::vector<RawMember>& members) {
  if (members.size() < 3) return "the package holds " + std::to_string(members.size()) + " members, not 3 or 4";
  if (members.front().name != kManifestName) return "the first member is not " + std::string(kManifestName);
  if (members.back().name != kSignatureName) return "the last member is not " + std::string(kSignatureName);
  if (members.back().bytes.size() > kMaxSignatureBytes) return "the signature is larger than a package allows";
  std::set<std::string> names;
  for (const RawMember& member : members) {
    if (!names.insert(member.name).second) return "the member name \"" + member.name + "\" comes twice";
  }
  return std::nullopt;
}

// ---- the manifest

template <typename Number>
std::optional<Number> WholeField(const Json& object, const char* key, std::uint64_t low, std::uint64_t high) {
  const Json& value = object.at(key);
  if (!value.is_number_unsigned()) return std::nullopt;
  const auto number = value.get<std::uint64_t>();
  if (number < low || number > high) return std::nullopt;
  return static_cast<Number>(number);
}

bool HasExactly(const Json& object, std::initializer_list<const char*> required,
                std::initializer_list<const char*> optional = {}) {
  if (!object.is_object()) return false;
  for (const char* key : required) {
    if (!object.contains(key)) return false;
  }
  for (const auto& item : object.items()) {
    const auto named = [&](const char* key) { return item.key() == key; };
    if (std::none_of(required.begin(), required.end(), named) && std::none_of(optional.begin(), optional.end(), named))
      return false;
  }
  return true;
}

bool IsSha256Hex(const Json& value) {
  if (!value.is_string()) return false;
  const auto& text = value.get_ref<const std::string&>();
  return text.size() == 64 &&
         std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool IsNameField(const Json& value) {
  return value.is_string() && IsMemberName(value.get_ref<const std::string&>()) &&
         value.get_ref<const std::string&>() != kManifestName && value.get_ref<const std::string&>() != kSignatureName;
}

std::optional<std::string> ReadSerial(const Json& json, SerialSetting& serial) {
  if (!HasExactly(json, {"at", "format", "first", "pool"}, {"last"})) return "its serial has other fields";
  const auto address = WholeField<std::uint32_t>(json, "at", 0, kMaxDeviceAddress);
  const auto first = WholeField<std::uint64_t>(json, "first", 0, UINT64_MAX);
  const Json& format = json.at("format");
  const auto parsed = format.is_string() ? ParseNumberFormat(format.get_ref<const std::string&>()) : std::nullopt;
  if (!address || !first || !parsed) return "its serial's address, format or first number is not valid";
  serial = {*address, format.get<std::string>(), *first, std::nullopt, {}};
  if (json.contains("last")) {
    serial.last = WholeField<std::uint64_t>(json, "last", *first, UINT64_MAX);
    if (!serial.last) return "its serial's last number is below the first";
  }
  if (serial.last.value_or(*first) > LargestNumber(*parsed)) return "its serial numbers do not fit their format";
  if (*address + parsed->Width() > std::uint64_t{kMaxDeviceAddress} + 1) return "its serial ends past 0xFFFFFF";
  const Json& pool = json.at("pool");
  if (!pool.is_string() || pool.get_ref<const std::string&>().empty() ||
      pool.get_ref<const std::string&>().size() > kMaxPoolBytes)
    return "its serial's pool is not a name";
  serial.pool = pool.get<std::string>();
  return std::nullopt;
}

std::optional<std::string> ReadBoardData(const Json& json, BoardDataSetting& data) {
  if (!HasExactly(json, {"name", "sha256", "at"})) return "its board_data has other fields";
  const auto address = WholeField<std::uint32_t>(json, "at", 0, kMaxDeviceAddress);
  if (!IsNameField(json.at("name")) || !IsSha256Hex(json.at("sha256")) || !address) {
    return "its board_data's name, sha256 or address is not valid";
  }
  data = {json.at("name").get<std::string>(), json.at("sha256").get<std::string>(), *address};
  return std::nullopt;
}

std::optional<std::string> ReadManifestJson(const Json& json, Manifest& manifest) {
  if (!HasExactly(json, {"format", "image", "retries", "read_gap_ms"}, {"serial", "board_data", "max_boards"})) {
    return "it lacks a field or has one it should not";
  }
  if (json.at("format") != kFormatVersion) return "its format is not " + std::to_string(kFormatVersion);
  const Json& image = json.at("image");
  if (!HasExactly(image, {"name", "sha256"}) || !IsNameField(image.at("name")) || !IsSha256Hex(image.at("sha256"))) {
    return "its image's name or sha256 is not valid";
  }
  manifest.imageName = image.at("name").get<std::string>();
  manifest.imageSha256 = image.at("sha256").get<std::string>();
  const auto retries = WholeField<int>(json, "retries", 0, kMaxRetries);
  const auto readGap = WholeField<std::uint32_t>(json, "read_gap_ms", 1, kMaxReadGapMs);
  if (!retries || !readGap) return "its retries or read_gap_ms is out of range";
  manifest.retries = *retries;
  manifest.readGapMs = *readGap;
  if (json.contains("max_boards")) {
    manifest.maxBoards = WholeField<std::uint64_t>(json, "max_boards", 1, kMaxBoardsLimit);
    if (!manifest.maxBoards) return "its max_boards is out of range";
  }
  if (json.contains("serial")) {
    if (auto fault = ReadSerial(json.at("serial"), manifest.serial.emplace())) return fault;
  }
  if (json.contains("board_data")) {
    if (auto fault = ReadBoardData(json.at("board_data"), manifest.boardData.emplace())) return fault;
    if (manifest.boardData->name == manifest.imageName) return "its board data and image have one name";
  }
  return std::nullopt;
}

// The members the manifest names must be those there, with its hashes.
std::optional<std::string> MatchMembers(const Manifest& manifest, const std::vector<RawMember>& members) {
  const std::size_t expected = manifest.boardData ? 4 : 3;
  if (members.size() != expected) return "its manifest names " + std::to_string(expected - 1) + " files, not those";
  if (members[1].name != manifest.imageName || Sha256Hex(members[1].bytes) != manifest.imageSha256) {
    return "the image \"" + members[1].name + "\" is not the one its manifest names";
  }
  if (manifest.boardData &&
      (members[2].name != manifest.boardData->name || Sha256Hex(members[2].bytes) != manifest.boardData->sha256)) {
    return "the board data \"" + members[2].name + "\" is not the one its manifest names";
  }
  return std::nullopt;
}

std::optional<std::string> VerifySignature(std::string_view bytes, const std::vector<RawMember>& members,
                                           const std::vector<trust::PublicKey>& trustedKeys,
                                           trust::Verification& verification) {
  const std::string_view text = members.back().bytes;
  auto read = trust::ReadSignature(text);
  if (auto* fault = std::get_if<std::string>(&read)) return "its signature: " + *fault;
  const auto& signature = std::get<trust::Signature>(read);
  // minisign's first line is not signed: only the writer's exact text is taken.
  try {
    if (SignatureText(signature) != text) return "its signature is not as a package has it";
  } catch (const std::invalid_argument&) {
    return "its signature is not as a package has it";
  }
  verification = trust::Verify(trustedKeys, signature, bytes.substr(0, members.back().headerOffset));
  return std::nullopt;
}

PackageReading Refused(std::string why, bool untrustedKey = false) {
  PackageReading reading;
  reading.refusal = "Package refused: " + std::move(why);
  reading.untrustedKey = untrustedKey;
  return reading;
}

}  // namespace

bool IsMemberName(std::string_view name) {
  if (name.empty() || name.size() > kMaxMemberNameBytes || name.front() == '.') return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-' || c == '+';
  });
}

std::string Sha256Hex(std::string_view bytes) {
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  char hex[2 * crypto_hash_sha256_BYTES + 1];
  sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
  return hex;
}

std::string ManifestText(const Manifest& manifest) {
  Json json = {{"format", kFormatVersion},
               {"image", {{"name", manifest.imageName}, {"sha256", manifest.imageSha256}}},
               {"retries", manifest.retries},
               {"read_gap_ms", manifest.readGapMs}};
  if (const auto& serial = manifest.serial) {
    json["serial"] = {
        {"at", serial->address}, {"format", serial->format}, {"first", serial->first}, {"pool", serial->pool}};
    if (serial->last) json["serial"]["last"] = *serial->last;
  }
  if (const auto& data = manifest.boardData) {
    json["board_data"] = {{"name", data->name}, {"sha256", data->sha256}, {"at", data->address}};
  }
  if (manifest.maxBoards) json["max_boards"] = *manifest.maxBoards;
  return json.dump(2) + "\n";
}

std::optional<std::string> ReadManifest(std::string_view text, Manifest& manifest) {
  const Json json = Json::parse(text, nullptr, false);
  if (json.is_discarded()) return "its manifest is not JSON";
  if (auto fault = ReadManifestJson(json, manifest)) return "its manifest: " + *fault;
  return std::nullopt;
}

std::string WritePackage(Contents contents, const trust::SecretKey& key, const std::string& trustedComment,
                         std::int64_t created) {
  Manifest& manifest = contents.manifest;
  const bool boardData = manifest.boardData.has_value();
  if (!IsMemberName(manifest.imageName) || (boardData && !IsMemberName(manifest.boardData->name)) ||
      (boardData && manifest.boardData->name == manifest.imageName)) {
    throw std::invalid_argument("a package member's name must be 1 to 99 letters, digits, '.', '_', '-' or '+'");
  }
  if (contents.image.size() > kMaxImageBytes || contents.boardData.size() > kMaxBoardDataBytes) {
    throw std::invalid_argument("the image or the board data is larger than a package allows");
  }
  manifest.imageSha256 = Sha256Hex(contents.image);
  if (boardData) manifest.boardData->sha256 = Sha256Hex(contents.boardData);
  const std::int64_t time = std::clamp<std::int64_t>(created, 0, kMaxTime);
  std::string archive;
  AppendMember(archive, kManifestName, ManifestText(manifest), time);
  AppendMember(archive, manifest.imageName, contents.image, time);
  if (boardData) AppendMember(archive, manifest.boardData->name, contents.boardData, time);
  const std::string signature = SignatureText(trust::Sign(key, archive, trustedComment));
  AppendMember(archive, kSignatureName, signature, time);
  archive.append(2 * kBlock, '\0');
  return archive;
}

PackageReading ReadPackage(std::string_view bytes, const std::vector<trust::PublicKey>& trustedKeys) {
  if (bytes.size() > kMaxPackageBytes) return Refused("it is larger than a package allows");
  auto read = ReadMembers(bytes);
  if (auto* fault = std::get_if<std::string>(&read)) return Refused(*fault);
  const auto& members = std::get<std::vector<RawMember>>(read);
  if (auto fault = CheckMemberOrder(members)) return Refused(*fault);
  trust::Verification verification;
  if (auto fault = VerifySignature(bytes, members, trustedKeys, verification)) return Refused(*fault);
  if (verification.verdict != trust::Verdict::Verified) {
    return Refused(trust::VerdictText(verification), verification.verdict == trust::Verdict::UntrustedKey);
  }
  // Only signed bytes are read from here on.
  Manifest manifest;
  if (auto fault = ReadManifest(members.front().bytes, manifest)) return Refused(*fault);
  if (auto fault = MatchMembers(manifest, members)) return Refused(*fault);
  PackageReading reading;
  SealedPackage& sealed = reading.package.emplace();
  sealed.contents.image = std::string(members[1].bytes);
  if (manifest.boardData) sealed.contents.boardData = std::string(members[2].bytes);
  sealed.contents.manifest = std::move(manifest);
  sealed.verification = std::move(verification);
  sealed.id = Sha256Hex(bytes).substr(0, 16);
  return reading;
}

}  // namespace mx::package
