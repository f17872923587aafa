// Files in a folder whose name the ANSI code page cannot hold: the firmware
// file and the settings file open through the wide functions.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "WinTestSupport.h"
// winbase.h maps WriteProfileString to the win.ini function; ours is meant.
#undef WriteProfileString
#include "app/PrivateProfile.h"
#include "update/FirmwareImage.h"
#include "update/WidePath_win.h"

namespace mx::test {
namespace {

std::filesystem::path WidePath(const std::string& utf8) { return std::filesystem::path(WideFromUtf8(utf8)); }

TEST(WidePathWin, FirmwareAndSettingsFilesInAChineseFolder) {
  WinTempDir dir;
  const std::string folder = dir / "韌體更新";
  ASSERT_TRUE(CreateDirectoryW(WideFromUtf8(folder).c_str(), nullptr));

  const std::string firmware = folder + "\\韌體 U0102.03.hex";
  std::ofstream(WidePath(firmware), std::ios::binary) << ":0100000055AA\r\n:00000001FF\r\n";
  const ImageReading reading = ReadFirmwareFile(firmware);
  ASSERT_TRUE(reading.image) << reading.refusal;
  EXPECT_EQ(reading.image->DataBytes(), 1u);

  const std::string settings = folder + "\\Comport.ini";
  ASSERT_TRUE(WriteProfileString("ComPort", "language", "CH", settings));
  EXPECT_TRUE(std::filesystem::exists(WidePath(settings)));
  EXPECT_EQ(ReadProfileString("ComPort", "language", "", settings), "CH");
}

TEST(WidePathWin, WhatIsNoFileIsRefusedUnread) {
  WinTempDir dir;
  const ImageReading folder = ReadFirmwareFile(dir.Path());
  EXPECT_EQ(folder.refusal.rfind("Cannot open file \"" + dir.Path() + "\". ", 0), 0u) << folder.refusal;
  const ImageReading device = ReadFirmwareFile("NUL");
  EXPECT_EQ(device.refusal, "Cannot open file \"NUL\". Not a regular file");
}

}  // namespace
}  // namespace mx::test
