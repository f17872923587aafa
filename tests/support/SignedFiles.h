#pragma once

// Keys and signed files for tests: a key pair made in code, its public key
// written into a folder, and files signed with it beside them.

#include <filesystem>
#include <string>

#include "support/TempDir.h"
#include "trust/Minisign.h"
#include "trust/Signing.h"
#include "trust/TrustedFiles.h"

namespace mx::test {

class SigningKey {
 public:
  // Writes the public key as `<folder>/<name>.pub`, creating the folder.
  void InstallIn(const std::filesystem::path& folder, const std::string& name) const {
    std::filesystem::create_directories(folder);
    WriteText(folder / (name + ".pub"), trust::PublicKeyFileText(pair_.publicKey));
  }
  // Signs the file at `path` as it is now: writes `<path>.minisig`.
  void Sign(const std::filesystem::path& path, const std::string& trustedComment = "test release") const {
    const trust::Signature signature = trust::Sign(pair_.secretKey, ReadFile(path), trustedComment);
    WriteText(path.string() + trust::kSignatureSuffix, trust::SignatureFileText(signature, "signed in a test"));
  }

 private:
  static void WriteText(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  trust::KeyPair pair_ = trust::GenerateKeyPair();
};

}  // namespace mx::test
