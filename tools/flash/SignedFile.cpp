#include "SignedFile.h"

#include "Sha256.h"
#include "app/HostSystem.h"
#include "app/HostSystem_p.h"

namespace mx::flash {

TrustedKeys TrustedKeysFor(const Options& options) {
  const std::vector<std::string> folders{ExecutableDirectory() + kTrustedKeysFolder,
                                         host::UserConfigDirectory() + kTrustedKeysFolder};
  return LoadTrustedKeys(folders, options.trustFiles);
}

SignedImageReading ReadSignedFirmwareFile(const std::string& path, const std::vector<trust::PublicKey>& trustedKeys) {
  return trust::ReadSignedFirmwareFile(path, trustedKeys, Sha256Hex);
}

}  // namespace mx::flash
