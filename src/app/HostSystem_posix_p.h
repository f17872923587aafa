#pragma once

// What the POSIX host files (settings, ports, processes) share: small
// helpers for the environment, files and directories.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mx::host::posix {

// `directory` ending with a '/'.
std::string WithSeparator(std::string directory);

// An environment variable's value; nothing when unset or empty.
std::optional<std::string> Environment(const char* name);

// The file's first line, without its end; nothing when it cannot be read.
std::optional<std::string> ReadFirstLine(const std::string& path);

bool EqualsNoCase(std::string_view a, std::string_view b);

// The names in `directory`, in the order the system gives; none when it
// cannot be read.
std::vector<std::string> DirectoryEntryNames(const std::string& directory);

// A number of at most nine decimal digits; nothing for anything else.
std::optional<unsigned long> DecimalNumber(std::string_view digits);

}  // namespace mx::host::posix
