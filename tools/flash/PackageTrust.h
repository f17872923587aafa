#pragma once

// Who may vouch for a sealed package: only keys an operator cannot add. One
// implementation per platform: PackageTrust_posix.cpp (a folder under /etc,
// root), PackageTrust_win.cpp (the installation folder, an elevated
// administrator).

#include <string>

namespace mx::flash {

// Where the administrator puts the public keys that packages are checked
// with: /etc/mx7410/trusted-keys (fixed when the program is built), or
// trusted-keys in the installation folder on Windows.
std::string AdminTrustedKeysFolder();

// The program runs as root, or as an elevated administrator: only then does
// --trust vouch for a package.
bool RunsAsAdministrator();

}  // namespace mx::flash
