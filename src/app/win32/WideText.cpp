#include "app/win32/WideText.h"

#include <windows.h>

namespace mx {

std::wstring Widen(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), size);
  return wide;
}

std::string Narrow(std::wstring_view utf16) {
  if (utf16.empty()) return {};
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), narrow.data(), size, nullptr, nullptr);
  return narrow;
}

std::wstring DialogFilter(std::string_view filter) {
  std::wstring parts = Widen(filter);
  for (wchar_t& c : parts) {
    if (c == L'|') c = L'\0';
  }
  parts.push_back(L'\0');
  parts.push_back(L'\0');
  return parts;
}

std::wstring PlainButtonCaption(std::string_view caption) {
  std::wstring shown;
  for (wchar_t c : Widen(caption)) {
    if (c == L'&') shown.push_back(L'&');
    shown.push_back(c);
  }
  return shown;
}

}  // namespace mx
