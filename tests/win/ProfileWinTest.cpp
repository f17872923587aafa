// The settings file through the Windows private-profile functions.

#include <gtest/gtest.h>

#include <cctype>
#include <ostream>
#include <string>

#include "WinTestSupport.h"
// winbase.h maps WriteProfileString to the win.ini function; ours is meant.
#undef WriteProfileString
#include "app/PrivateProfile.h"

namespace mx::test {
namespace {

class ProfileWin : public ::testing::Test {
 protected:
  WinTempDir dir;
  const std::string path = dir / "Comport.ini";
};

TEST_F(ProfileWin, MissingFileReadsAsFallbackAndFirstWriteCreatesIt) {
  EXPECT_EQ(ReadProfileString("ComPort", "language", "", path), "");
  EXPECT_EQ(ReadProfileString("ComPort", "language", "ENG", path), "ENG");
  EXPECT_FALSE(FileExists(path));

  ASSERT_TRUE(WriteProfileString("ComPort", "Showmag", "0", path));
  ASSERT_TRUE(WriteProfileString("ComPort", "language", "ENG", path));

  ASSERT_TRUE(FileExists(path));
  const std::string bytes = ReadFileBytes(path);
  EXPECT_NE(bytes.find("[ComPort]"), std::string::npos) << bytes;
  EXPECT_NE(bytes.find("Showmag=0"), std::string::npos) << bytes;
  EXPECT_NE(bytes.find("language=ENG"), std::string::npos) << bytes;
  EXPECT_EQ(ReadProfileString("ComPort", "Showmag", "", path), "0");
  EXPECT_EQ(ReadProfileString("ComPort", "language", "", path), "ENG");
}

TEST_F(ProfileWin, SectionAndKeyNamesMatchWithoutCase) {
  ASSERT_TRUE(WriteProfileString("ComPort", "Showmag", "1", path));
  EXPECT_EQ(ReadProfileString("COMPORT", "SHOWMAG", "", path), "1");
  EXPECT_EQ(ReadProfileString("comport", "showmag", "", path), "1");

  // A write under another spelling replaces the key instead of adding one.
  ASSERT_TRUE(WriteProfileString("comport", "SHOWMAG", "0", path));
  EXPECT_EQ(ReadProfileString("ComPort", "Showmag", "", path), "0");
  std::string lower = ReadFileBytes(path);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(lower.find("showmag="), lower.rfind("showmag=")) << lower;
  EXPECT_EQ(lower.find("[comport]"), lower.rfind("[comport]")) << lower;
}

TEST_F(ProfileWin, WritesKeepOtherKeysAndSections) {
  WriteFileBytes(path, "[Other]\r\nkeep=me\r\n[ComPort]\r\nShowmag=1\r\nlanguage=CH\r\n");
  ASSERT_TRUE(WriteProfileString("ComPort", "Filename", "C:\\fw\\image.hex", path));
  ASSERT_TRUE(WriteProfileString("ComPort", "Showmag", "0", path));

  EXPECT_EQ(ReadProfileString("Other", "keep", "", path), "me");
  EXPECT_EQ(ReadProfileString("ComPort", "language", "", path), "CH");
  EXPECT_EQ(ReadProfileString("ComPort", "Showmag", "", path), "0");
  EXPECT_EQ(ReadProfileString("ComPort", "Filename", "", path), "C:\\fw\\image.hex");
}

TEST_F(ProfileWin, EveryCallSeesTheFileAsItIsNow) {
  ASSERT_TRUE(WriteProfileString("ComPort", "language", "ENG", path));
  EXPECT_EQ(ReadProfileString("ComPort", "language", "", path), "ENG");

  WriteFileBytes(path, "[ComPort]\r\nlanguage=CH\r\n");
  EXPECT_EQ(ReadProfileString("ComPort", "language", "", path), "CH");

  ASSERT_TRUE(DeleteFileA(path.c_str()));
  EXPECT_EQ(ReadProfileString("ComPort", "language", "gone", path), "gone");
  ASSERT_TRUE(WriteProfileString("ComPort", "Showmag", "1", path));
  EXPECT_EQ(ReadProfileString("ComPort", "language", "gone", path), "gone");
}

TEST_F(ProfileWin, LongValuesAreCutTo2047Characters) {
  const std::string value(3000, 'x');
  ASSERT_TRUE(WriteProfileString("ComPort", "Filename", value, path));
  EXPECT_EQ(ReadProfileString("ComPort", "Filename", "", path), value.substr(0, kProfileValueMax));
}

TEST_F(ProfileWin, WriteIntoMissingDirectoryFails) {
  EXPECT_FALSE(WriteProfileString("ComPort", "Showmag", "0", dir / "missing\\Comport.ini"));
}

// Files written by hand or by another program.
struct HandWrittenCase {
  const char* name;
  const char* file;
  const char* expected;  // value of ComPort/language; "?" is the fallback
};

void PrintTo(const HandWrittenCase& value, std::ostream* out) { *out << value.name; }

class ProfileWinHandWritten : public ::testing::TestWithParam<HandWrittenCase> {};

TEST_P(ProfileWinHandWritten, ReadsLanguage) {
  WinTempDir dir;
  const std::string path = dir / "Comport.ini";
  WriteFileBytes(path, GetParam().file);
  EXPECT_EQ(ReadProfileString("ComPort", "language", "?", path), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ProfileWinHandWritten,
    ::testing::Values(HandWrittenCase{"CrLf", "[ComPort]\r\nlanguage=CH\r\n", "CH"},
                      HandWrittenCase{"LfOnly", "[ComPort]\nlanguage=CH\n", "CH"},
                      HandWrittenCase{"NoFinalLineEnd", "[ComPort]\nlanguage=CH", "CH"},
                      HandWrittenCase{"BlanksAroundNamesAndValue", "[ ComPort ]\n  language =  CH  \n", "CH"},
                      HandWrittenCase{"QuotedValue", "[ComPort]\nlanguage=\"CH\"\n", "CH"},
                      HandWrittenCase{"CommentLines", "; settings\n[ComPort]\n;language=FR\nlanguage=CH\n", "CH"},
                      HandWrittenCase{"EmptyValue", "[ComPort]\nlanguage=\n", ""},
                      HandWrittenCase{"KeyInOtherSection", "[Other]\nlanguage=CH\n[ComPort]\nShowmag=1\n", "?"},
                      HandWrittenCase{"KeyBeforeAnySection", "language=CH\n[ComPort]\n", "?"},
                      HandWrittenCase{"FirstOfTwoKeys", "[ComPort]\nlanguage=CH\nlanguage=ENG\n", "CH"},
                      HandWrittenCase{"EmptyFile", "", "?"}),
    [](const ::testing::TestParamInfo<HandWrittenCase>& info) { return info.param.name; });

// Texts that would write a further key or section are refused, and the file
// is left as it was.
struct RefusedWrite {
  const char* name;
  std::string section;
  std::string key;
  std::string value;
};

void PrintTo(const RefusedWrite& value, std::ostream* out) { *out << value.name; }

class ProfileWinRefused : public ::testing::TestWithParam<RefusedWrite> {};

TEST_P(ProfileWinRefused, LeavesFileUntouched) {
  WinTempDir dir;
  const std::string path = dir / "Comport.ini";
  const std::string before = "[ComPort]\r\nlanguage=ENG\r\n";
  WriteFileBytes(path, before);
  const RefusedWrite& write = GetParam();
  EXPECT_FALSE(WriteProfileString(write.section, write.key, write.value, path));
  EXPECT_EQ(ReadFileBytes(path), before);
}

INSTANTIATE_TEST_SUITE_P(Texts, ProfileWinRefused,
                         ::testing::Values(RefusedWrite{"ValueWithCrLf", "ComPort", "Filename", "a\r\nlanguage=CH"},
                                           RefusedWrite{"ValueWithLf", "ComPort", "Filename", "a\n[Other]"},
                                           RefusedWrite{"KeyWithEquals", "ComPort", "language=CH", "x"},
                                           RefusedWrite{"KeyWithLineBreak", "ComPort", "a\nb", "x"},
                                           RefusedWrite{"SectionWithBracket", "Com]Port", "language", "x"},
                                           RefusedWrite{"EmptyKey", "ComPort", "", "x"},
                                           RefusedWrite{"EmptySection", "", "language", "x"}),
                         [](const ::testing::TestParamInfo<RefusedWrite>& info) { return info.param.name; });

}  // namespace
}  // namespace mx::test
