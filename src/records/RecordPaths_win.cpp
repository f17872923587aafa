#include <windows.h>

#include <string>

#include "records/RecordStore.h"

namespace mx::records {

namespace {

// The variable in UTF-8, as SQLite takes file names; empty when unset.
std::string EnvironmentUtf8(const wchar_t* name) {
  const DWORD length = GetEnvironmentVariableW(name, nullptr, 0);
  if (length == 0) return {};
  std::wstring wide(length, L'\0');
  wide.resize(GetEnvironmentVariableW(name, wide.data(), length));
  const int bytes =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string utf8(bytes, '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), bytes, nullptr, nullptr);
  return utf8;
}

}  // namespace

// %LOCALAPPDATA%\mx7410\records.sqlite: this computer's, not roamed.
std::string DefaultDatabasePath() {
  const std::string localAppData = EnvironmentUtf8(L"LOCALAPPDATA");
  return (localAppData.empty() ? std::string(".") : localAppData) + "\\mx7410\\records.sqlite";
}

}  // namespace mx::records
