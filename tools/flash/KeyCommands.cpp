#include "KeyCommands.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <variant>

#include "Password.h"
#include "SignedFile.h"
#include "trust/Signing.h"
#include "update/FileAccess.h"
#include "update/HexFile.h"

namespace mx::flash {

namespace fs = std::filesystem;

namespace {

// What went wrong, and the exit status it ends with.
struct Failure {
  int status;
  std::string text;
};

template <typename Value>
using Outcome = std::variant<Value, Failure>;

// The password from --password-file (its first line), the environment, or
// the terminal (asked twice when it is chosen for a new key).
Outcome<std::string> Password(const Options& options, bool newKey) {
  if (!options.passwordFile.empty()) {
    SmallFile file = ReadSmallFile(options.passwordFile);
    if (!file.error.empty()) return Failure{kExitFileRefused, "password file " + file.error};
    std::string password = file.bytes.substr(0, file.bytes.find('\n'));
    if (password.ends_with('\r')) password.pop_back();
    return password;
  }
  if (const char* password = std::getenv(kPasswordVariable)) return std::string(password);
  const auto typed = AskPasswordOnTerminal(newKey ? "Password for the new secret key: " : "Password: ");
  if (!typed) {
    return Failure{kExitUsage,
                   std::string("no terminal to ask the password on: use --password-file or ") + kPasswordVariable};
  }
  if (newKey && AskPasswordOnTerminal("The same password again: ") != typed) {
    return Failure{kExitUsage, "the two passwords differ"};
  }
  return *typed;
}

// Writes a key's file; a secret one only its owner may read, before it holds the key.
std::string WriteKeyFile(const std::string& path, const std::string& text, bool secret) {
  std::error_code error;
  {
    std::ofstream file(fs::path(path), std::ios::binary);
    if (!file) return path + ": cannot be created";
  }
  if (secret) fs::permissions(fs::path(path), fs::perms::owner_read | fs::perms::owner_write, error);
  std::ofstream file(fs::path(path), std::ios::binary | std::ios::trunc);
  file << text;
  file.close();
  if (!file) return path + ": cannot be written";
  return {};
}

Outcome<trust::SecretKey> LoadSecretKey(const Options& options) {
  const SmallFile file = ReadSmallFile(options.secretKeyFile);
  if (!file.error.empty()) return Failure{kExitFileRefused, "secret key " + file.error};
  const auto sealed = trust::ReadSecretKeyFile(file.bytes);
  if (auto* fault = std::get_if<std::string>(&sealed)) return Failure{kExitFileRefused, *fault};
  const auto& keyFile = std::get<trust::SecretKeyFile>(sealed);
  std::string password;
  if (keyFile.passwordProtected) {
    auto asked = Password(options, false);
    if (auto* failure = std::get_if<Failure>(&asked)) return *failure;
    password = std::get<std::string>(asked);
  }
  auto key = trust::OpenSecretKey(keyFile, password);
  if (auto* fault = std::get_if<std::string>(&key)) return Failure{kExitFileRefused, *fault};
  return std::get<trust::SecretKey>(key);
}

// minisign's default: when and what was signed.
std::string DefaultTrustedComment(const std::string& path) {
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch());
  return "timestamp:" + std::to_string(seconds.count()) + "\tfile:" + fs::path(path).filename().string() + "\thashed";
}

int Fail(std::ostream& err, const Failure& failure) {
  err << "mx7410-flash: " << failure.text << '\n';
  return failure.status;
}

}  // namespace

int GenerateKeys(const Options& options, std::ostream& out, std::ostream& err) {
  std::error_code error;
  for (const std::string& path : {options.publicKeyFile, options.secretKeyFile}) {
    if (fs::exists(fs::path(path), error)) {
      return Fail(err, {kExitUsage, path + ": exists already; remove it first to make a new key"});
    }
  }
  std::optional<std::string> password;
  if (!options.unprotectedKey) {
    auto asked = Password(options, true);
    if (auto* failure = std::get_if<Failure>(&asked)) return Fail(err, *failure);
    password = std::get<std::string>(asked);
    if (password->empty()) return Fail(err, {kExitUsage, "an empty password protects nothing; use -W for none"});
  }
  const trust::KeyPair pair = trust::GenerateKeyPair();
  const std::string secretText = trust::SecretKeyFileText(trust::SealSecretKey(pair.secretKey, password));
  if (std::string fault = WriteKeyFile(options.secretKeyFile, secretText, true); !fault.empty()) {
    return Fail(err, {kExitFileRefused, fault});
  }
  if (std::string fault = WriteKeyFile(options.publicKeyFile, trust::PublicKeyFileText(pair.publicKey), false);
      !fault.empty()) {
    return Fail(err, {kExitFileRefused, fault});
  }
  if (!options.quiet) {
    out << "key " << trust::KeyIdText(pair.publicKey.id) << ": secret key " << options.secretKeyFile
        << (password ? "" : " (no password)") << ", public key " << options.publicKeyFile << '\n';
  }
  return kExitSuccess;
}

std::optional<trust::SecretKey> OpenSigningKey(const Options& options, std::ostream& err, int& status) {
  auto key = LoadSecretKey(options);
  if (auto* failure = std::get_if<Failure>(&key)) {
    status = Fail(err, *failure);
    return std::nullopt;
  }
  return std::get<trust::SecretKey>(key);
}

int SignFile(const Options& options, std::ostream& out, std::ostream& err) {
  auto key = LoadSecretKey(options);
  if (auto* failure = std::get_if<Failure>(&key)) return Fail(err, *failure);
  const FileContents file = ReadRegularFile(options.file, kMaxHexFileBytes);
  if (!file.error.empty()) return Fail(err, {kExitFileRefused, options.file + ": " + file.error});
  const std::string comment = options.trustedComment.value_or(DefaultTrustedComment(options.file));
  const trust::Signature signature = trust::Sign(std::get<trust::SecretKey>(key), file.bytes, comment);
  const std::string path = options.file + kSignatureSuffix;
  std::ofstream output(fs::path(path), std::ios::binary | std::ios::trunc);
  output << trust::SignatureFileText(signature, "signature from mx7410-flash secret key");
  output.close();
  if (!output) return Fail(err, {kExitFileRefused, path + ": cannot be written"});
  if (!options.quiet) out << "signed by key " << trust::KeyIdText(signature.keyId) << ": " << path << '\n';
  return kExitSuccess;
}

}  // namespace mx::flash
