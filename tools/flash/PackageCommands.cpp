#include "PackageCommands.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <ostream>

#include "CheckFile.h"
#include "JsonEvent.h"
#include "KeyCommands.h"
#include "PackageTrust.h"
#include "PortRun.h"
#include "SignedFile.h"
#include "update/FileAccess.h"
#include "update/HexFile.h"

namespace mx::flash {

namespace fs = std::filesystem;

namespace {

constexpr char kProgram[] = "mx7410-flash: ";

int Fail(std::ostream& err, int status, const std::string& text) {
  err << kProgram << text << '\n';
  return status;
}

std::string FileName(const std::string& path) {
  const std::u8string name = fs::path(std::u8string(path.begin(), path.end())).filename().u8string();
  return {name.begin(), name.end()};
}

// The image read and checked once, as update reads it; `bytes` keeps the text.
std::shared_ptr<const FirmwareImage> CheckedImage(const std::string& path, std::string& bytes, std::string& why) {
  const ImageReading reading = ReadFirmwareFile(path, [&bytes](std::string_view read) {
    bytes = read;
    return std::string();
  });
  if (!reading.image) {
    why = reading.refusal;
  } else if (reading.image->DataRecordCount() == 0) {
    why = kNoDataRefusal;
  }
  return why.empty() ? reading.image : nullptr;
}

// The package's contents from the command line, every file read and checked.
std::optional<package::Contents> ContentsFor(const Options& options, std::string& why) {
  const BoardWrites& writes = options.boardWrites;
  package::Contents contents;
  const auto image = CheckedImage(options.packageImage, contents.image, why);
  if (!image) return std::nullopt;
  BoardDataReading data;
  if (writes.BoardData()) {
    const FileContents file = ReadRegularFile(writes.boardDataFile, package::kMaxBoardDataBytes);
    data = file.error.empty()
               ? BoardDataFromText(file.bytes, writes.boardDataFile)
               : BoardDataReading{{}, 0, "cannot read board data " + writes.boardDataFile + ": " + file.error};
    if (!data.error.empty()) {
      why = data.error;
      return std::nullopt;
    }
    contents.boardData = file.bytes;
  }
  if (why = CheckBoardWrites(*image, writes, data.lines); !why.empty()) return std::nullopt;
  package::Manifest& manifest = contents.manifest;
  manifest.imageName = FileName(options.packageImage);
  if (writes.Serial()) {
    manifest.serial = package::SerialSetting{*writes.serialAddress, writes.serialFormat.Name(), writes.serialFirst,
                                             writes.serialLast, writes.pool};
  }
  if (writes.BoardData()) manifest.boardData = {FileName(writes.boardDataFile), {}, *writes.boardDataAt};
  manifest.retries = options.retries;
  manifest.readGapMs = options.readGapMs;
  manifest.maxBoards = writes.maxBoards;
  for (const std::string& path : {options.packageImage, writes.boardDataFile}) {
    if (!path.empty() && !package::IsMemberName(FileName(path))) {
      why = path + ": a packaged file's name must be letters, digits, '.', '_', '-' or '+' (rename it)";
      return std::nullopt;
    }
  }
  return contents;
}

std::string DefaultPackageComment(const Options& options) {
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch());
  return "timestamp:" + std::to_string(seconds.count()) + "\tfile:" + FileName(options.packageOutput) +
         "\timage:" + FileName(options.packageImage);
}

// The keys a package may be signed with: the administrator's folder, and
// --trust only from root or an elevated administrator.
TrustedKeys PackageKeys(const Options& options) {
  const bool administrator = RunsAsAdministrator();
  return LoadTrustedKeys({AdminTrustedKeysFolder()}, administrator ? options.trustFiles : std::vector<std::string>{});
}

std::string WhereAdminKeysGo(const Options& options) {
  std::string text = "a package is trusted only with a public key in " + AdminTrustedKeysFolder() +
                     " (put there by the administrator)";
  if (!options.trustFiles.empty() && !RunsAsAdministrator()) text += "; --trust counts for packages only as root";
  return text;
}

// The package's settings in place of the command line's.
void TakeSettings(Options& options, const package::SealedPackage& sealed) {
  const package::Manifest& manifest = sealed.contents.manifest;
  BoardWrites& writes = options.boardWrites;
  writes.packageId = sealed.id;
  writes.keyId = trust::KeyIdText(sealed.verification.keyId);
  writes.trustedComment = sealed.verification.trustedComment;
  writes.maxBoards = manifest.maxBoards;
  if (const auto& serial = manifest.serial) {
    writes.serialAddress = serial->address;
    writes.serialFormat = ParseNumberFormat(serial->format).value_or(NumberFormat{});  // checked when read
    writes.serialFirst = serial->first;
    writes.serialLast = serial->last;
    writes.pool = serial->pool;
  }
  if (const auto& data = manifest.boardData) {
    writes.boardDataFile = options.file;  // its lines used are kept beside the package
    writes.boardDataAt = data->address;
  }
  options.retries = manifest.retries;
  options.readGapMs = manifest.readGapMs;
}

}  // namespace

int MakePackage(const Options& options, std::ostream& out, std::ostream& err) {
  std::error_code error;
  if (fs::exists(fs::path(options.packageOutput), error)) {
    return Fail(err, kExitUsage, options.packageOutput + ": exists already; a package is never overwritten");
  }
  std::string why;
  auto contents = ContentsFor(options, why);
  if (!contents) return Fail(err, kExitFileRefused, why);
  int status = kExitSuccess;
  const auto key = OpenSigningKey(options, err, status);
  if (!key) return status;
  const std::string bytes = package::WritePackage(
      std::move(*contents), *key, options.trustedComment.value_or(DefaultPackageComment(options)),
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count());
  std::ofstream file(fs::path(options.packageOutput), std::ios::binary | std::ios::trunc);
  file << bytes;
  file.close();
  if (!file) return Fail(err, kExitFileRefused, options.packageOutput + ": cannot be written");
  if (!options.quiet) {
    out << "package " << package::Sha256Hex(bytes).substr(0, 16) << ": " << options.packageOutput << ", signed by key "
        << trust::KeyIdText(key->id) << '\n';
  }
  return kExitSuccess;
}

std::optional<OpenedPackage> OpenPackageForRun(Options& options, std::ostream& err, int& status) {
  status = kExitFileRefused;
  const TrustedKeys trusted = PackageKeys(options);
  if (!trusted.error.empty()) {
    status = Fail(err, kExitUsage, trusted.error);
    return std::nullopt;
  }
  const FileContents file = ReadRegularFile(options.file, package::kMaxPackageBytes);
  if (!file.error.empty()) {
    Fail(err, status, "cannot read package " + options.file + ": " + file.error);
    return std::nullopt;
  }
  package::PackageReading reading = package::ReadPackage(file.bytes, trusted.keys);
  if (!reading.package) {
    const bool unvouched = reading.untrustedKey || trusted.keys.empty();
    Fail(err, status, options.file + ": " + reading.refusal + (unvouched ? "; " + WhereAdminKeysGo(options) : ""));
    return std::nullopt;
  }
  OpenedPackage opened{std::move(*reading.package), nullptr, {}};
  const package::Contents& contents = opened.sealed.contents;
  const ImageReading image = ReadFirmwareBytes(contents.image, package::Sha256Hex);
  if (!image.image || image.image->DataRecordCount() == 0) {
    Fail(err, status, options.file + ": its image: " + (image.image ? kNoDataRefusal : image.refusal));
    return std::nullopt;
  }
  opened.image = image.image;
  TakeSettings(options, opened.sealed);
  if (contents.manifest.boardData) opened.boardData = BoardDataFromText(contents.boardData, options.file);
  std::string why = opened.boardData.error;
  if (why.empty()) why = CheckBoardWrites(*opened.image, options.boardWrites, opened.boardData.lines);
  if (!why.empty()) {
    Fail(err, status, options.file + ": " + why);
    return std::nullopt;
  }
  status = kExitSuccess;
  return opened;
}

namespace {

// check --json: one object, as for a firmware file, with the package's id and settings.
int PrintPackageJson(const OpenedPackage& opened, const Options& options, std::ostream& out) {
  const package::Manifest& manifest = opened.sealed.contents.manifest;
  nlohmann::json check = JsonEvent("check");
  check.update({{"file", AbsoluteFile(options)},
                {"exit", kExitSuccess},
                {"result", "ok"},
                {"package", opened.sealed.id},
                {"key_id", trust::KeyIdText(opened.sealed.verification.keyId)},
                {"trusted_comment", opened.sealed.verification.trustedComment},
                {"data_records", opened.image->DataRecordCount()},
                {"manifest", nlohmann::json::parse(package::ManifestText(manifest))}});
  AddFileHash(check, manifest.imageSha256);
  out << check.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
  return kExitSuccess;
}

}  // namespace

int CheckPackage(Options options, std::ostream& out, std::ostream& err) {
  int status = kExitSuccess;
  const auto opened = OpenPackageForRun(options, err, status);
  if (!opened) return status;
  if (options.json) return PrintPackageJson(*opened, options, out);
  const package::Manifest& manifest = opened->sealed.contents.manifest;
  const BoardWrites& writes = options.boardWrites;
  out << "package: " << opened->sealed.id << '\n'
      << "signed by key " << trust::KeyIdText(opened->sealed.verification.keyId)
      << "; trusted comment: " << opened->sealed.verification.trustedComment << '\n'
      << "image: " << manifest.imageName << " (sha256 " << manifest.imageSha256 << ")\n"
      << "data records: " << opened->image->DataRecordCount() << '\n';
  if (writes.Serial()) {
    out << "serial number (" << writes.serialFormat.Name() << ") at " << DeviceAddressText(*writes.serialAddress)
        << ", pool \"" << writes.pool << "\", from " << writes.serialFirst
        << (writes.serialLast ? " to " + std::to_string(*writes.serialLast) : std::string(" without end")) << '\n';
  }
  if (manifest.boardData) {
    out << "board data: " << manifest.boardData->name << ", " << opened->boardData.lines.size() << " lines, at "
        << DeviceAddressText(manifest.boardData->address) << '\n';
  }
  out << "retries: " << options.retries << "\nread gap: " << options.readGapMs << " ms\n";
  if (writes.maxBoards) out << "max boards: " << *writes.maxBoards << '\n';
  return kExitSuccess;
}

}  // namespace mx::flash
