#pragma once

// Internals of the host layer, visible to its tests. Not part of the
// program's interface.

#include <string>
#include <string_view>
#include <vector>

namespace mx::host {

inline constexpr const char* kSettingsFileName = "Comport.ini";

// True when a new file can be created in `directory` (ending with a
// separator) and an existing settings file there can be written.
bool DirectoryTakesSettings(const std::string& directory);

// `candidate` when it takes the settings file, else `fallback`, created if
// need be. Both end with a separator.
std::string ChooseSettingsDirectory(const std::string& candidate, const std::string& fallback);

// The per-user configuration directory of this program, ending with a
// separator: $XDG_CONFIG_HOME/mx7410/ or ~/.config/mx7410/ on POSIX,
// %APPDATA%\mx7410\ on Windows.
std::string UserConfigDirectory();

// POSIX: the names among `devices` made of `prefix` and a decimal number
// ("ttyUSB12"), in numeric order.
std::vector<std::string> NumberedPorts(const std::vector<std::string>& devices, std::string_view prefix);

// POSIX: the names a process shows under /proc.
struct ProcessNames {
  std::string executable;  // file name of /proc/<pid>/exe; empty when unreadable
};

// POSIX: whether a process is the program called `wanted`: its whole
// executable name, compared without regard to case. A Windows name
// "prog.exe" also matches the Linux "prog".
bool ProcessNameMatches(const std::string& wanted, const ProcessNames& names);

}  // namespace mx::host
