#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "records/RecordStore.h"

namespace mx::records {
namespace {

std::string Utf8(const std::u8string& text) { return {text.begin(), text.end()}; }

TEST(RecordPathsTest, DefaultsToTheUsersLocalAppDataInUtf8) {
  std::vector<wchar_t> saved(GetEnvironmentVariableW(L"LOCALAPPDATA", nullptr, 0) + 1, L'\0');
  const bool wasSet = GetEnvironmentVariableW(L"LOCALAPPDATA", saved.data(), static_cast<DWORD>(saved.size())) > 0;

  SetEnvironmentVariableW(L"LOCALAPPDATA", L"C:\\Users\\J\u00fcrgen \u5f20\\AppData\\Local");
  EXPECT_EQ(DefaultDatabasePath(), Utf8(u8"C:\\Users\\J\u00fcrgen \u5f20\\AppData\\Local\\mx7410\\records.sqlite"));
  SetEnvironmentVariableW(L"LOCALAPPDATA", nullptr);
  EXPECT_EQ(DefaultDatabasePath(), ".\\mx7410\\records.sqlite");

  SetEnvironmentVariableW(L"LOCALAPPDATA", wasSet ? saved.data() : nullptr);
}

}  // namespace
}  // namespace mx::records
