#include <windows.h>

#include "PackageTrust.h"
#include "SignedFile.h"
#include "app/HostSystem.h"

namespace mx::flash {

// Beside the program: only an administrator may write there.
std::string AdminTrustedKeysFolder() { return ExecutableDirectory() + kTrustedKeysFolder; }

bool RunsAsAdministrator() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  const bool elevated =
      GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) && elevation.TokenIsElevated;
  CloseHandle(token);
  return elevated;
}

}  // namespace mx::flash
