// Private-profile files through the platform's own functions. Every call
// opens, reads or writes and closes the file; nothing is cached.

#include <windows.h>
// winbase.h maps WriteProfileString to the win.ini function; ours is meant.
#undef WriteProfileString

#include <string_view>

#include "app/PrivateProfile.h"
#include "update/WidePath_win.h"

namespace mx {
namespace {

constexpr DWORD kValueBufferSize = kProfileValueMax + 1;

// Line breaks would let a value write further keys or sections.
bool IsStorable(std::string_view section, std::string_view key, std::string_view value) {
  auto breaksLines = [](std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != text.npos;
  };
  return !section.empty() && !key.empty() && !breaksLines(section) && !breaksLines(key) && !breaksLines(value) &&
         section.find(']') == section.npos && key.find('=') == key.npos;
}

}  // namespace

// The wide functions, so that a settings file in any folder opens; the texts
// are UTF-8 on our side.
std::string ReadProfileString(const std::string& section, const std::string& key, const std::string& fallback,
                              const std::string& path) {
  wchar_t buffer[kValueBufferSize] = {};
  const DWORD length =
      GetPrivateProfileStringW(WideFromUtf8(section).c_str(), WideFromUtf8(key).c_str(), WideFromUtf8(fallback).c_str(),
                               buffer, kValueBufferSize, WideFromUtf8(path).c_str());
  return Utf8FromWide(std::wstring_view(buffer, length));
}

bool WriteProfileString(const std::string& section, const std::string& key, const std::string& value,
                        const std::string& path) {
  if (!IsStorable(section, key, value)) return false;
  return WritePrivateProfileStringW(WideFromUtf8(section).c_str(), WideFromUtf8(key).c_str(),
                                    WideFromUtf8(value).c_str(), WideFromUtf8(path).c_str()) != FALSE;
}

}  // namespace mx
