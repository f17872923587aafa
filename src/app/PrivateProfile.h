#pragma once

// INI settings files with the platform's private-profile semantics: section
// and key names matched without regard to case, values read up to 2047
// characters, every call reads or writes the file at once, the first write
// creates the file, other sections and keys are kept.

#include <string>

namespace mx {

inline constexpr std::size_t kProfileValueMax = 2047;

// The value of `key` in `section` of the file at `path`; `fallback` when the
// file, the section or the key is missing.
std::string ReadProfileString(const std::string& section, const std::string& key, const std::string& fallback,
                              const std::string& path);

// Stores `value` under `key` in `section`; false when the file cannot be written.
bool WriteProfileString(const std::string& section, const std::string& key, const std::string& value,
                        const std::string& path);

}  // namespace mx
