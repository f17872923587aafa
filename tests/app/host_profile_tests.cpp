// The settings file: reading and writing single keys of an INI file with the
// Windows private-profile rules.

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "app/PrivateProfile.h"
#include "host_test_support.h"

namespace mx {
namespace {

namespace fs = std::filesystem;
using test::ReadBytes;
using test::ScratchDirectory;
using test::WriteBytes;

constexpr const char* kFallback = "<fallback>";

// ---- Reading ------------------------------------------------------------------

struct ReadCase {
  const char* what;
  std::string content;
  std::string section;
  std::string key;
  std::string expected;
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.what; }

class ProfileRead : public testing::TestWithParam<ReadCase> {};

TEST_P(ProfileRead, FindsTheValue) {
  const ReadCase& c = GetParam();
  ScratchDirectory scratch;
  const std::string path = scratch / "Comport.ini";
  WriteBytes(path, c.content);
  EXPECT_EQ(ReadProfileString(c.section, c.key, kFallback, path), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProfileRead,
    testing::Values(
        ReadCase{"CR LF file", "[ComPort]\r\nShowmag=1\r\nlanguage=CH\r\n", "ComPort", "language", "CH"},
        ReadCase{"LF file", "[ComPort]\nShowmag=1\nlanguage=CH\n", "ComPort", "Showmag", "1"},
        ReadCase{"last line without line end", "[ComPort]\r\nlanguage=ENG", "ComPort", "language", "ENG"},
        ReadCase{"section name in other case", "[comport]\r\nShowmag=1\r\n", "ComPort", "Showmag", "1"},
        ReadCase{"key name in other case", "[ComPort]\r\nSHOWMAG=1\r\n", "ComPort", "Showmag", "1"},
        ReadCase{"blanks around names and value", "  [ ComPort ]  \r\n\t Showmag \t=  10 \t\r\n", "ComPort", "Showmag",
                 "10"},
        ReadCase{"blanks inside the value stay", "[ComPort]\r\nFilename= C:\\my fw\\a b.hex \r\n", "ComPort",
                 "Filename", "C:\\my fw\\a b.hex"},
        ReadCase{"double quotes removed", "[ComPort]\r\nFilename=\" /fw/a.hex \"\r\n", "ComPort", "Filename",
                 " /fw/a.hex "},
        ReadCase{"single quotes removed", "[ComPort]\r\nlanguage='CH'\r\n", "ComPort", "language", "CH"},
        ReadCase{"unmatched quotes kept", "[ComPort]\r\nlanguage=\"CH'\r\n", "ComPort", "language", "\"CH'"},
        ReadCase{"a lone quote kept", "[ComPort]\r\nlanguage=\"\r\n", "ComPort", "language", "\""},
        ReadCase{"equals sign inside the value", "[ComPort]\r\nFilename=a=b\r\n", "ComPort", "Filename", "a=b"},
        ReadCase{"empty value is not missing", "[ComPort]\r\nShowmag=\r\n", "ComPort", "Showmag", ""},
        ReadCase{"missing key", "[ComPort]\r\nShowmag=1\r\n", "ComPort", "language", kFallback},
        ReadCase{"missing section", "[Other]\r\nShowmag=1\r\n", "ComPort", "Showmag", kFallback},
        ReadCase{"key of the next section", "[ComPort]\r\nShowmag=1\r\n[Other]\r\nlanguage=CH\r\n", "ComPort",
                 "language", kFallback},
        ReadCase{"key before any section", "language=CH\r\n[ComPort]\r\n", "ComPort", "language", kFallback},
        ReadCase{"commented-out key", "[ComPort]\r\n;language=CH\r\n", "ComPort", "language", kFallback},
        ReadCase{"line without equals sign", "[ComPort]\r\nlanguage\r\n", "ComPort", "language", kFallback},
        ReadCase{"first of two keys", "[ComPort]\r\nlanguage=CH\r\nlanguage=ENG\r\n", "ComPort", "language", "CH"},
        ReadCase{"first of two sections", "[ComPort]\r\na=1\r\n[ComPort]\r\nlanguage=CH\r\n", "ComPort", "language",
                 kFallback},
        ReadCase{"byte order mark", "\xEF\xBB\xBF[ComPort]\r\nlanguage=CH\r\n", "ComPort", "language", "CH"},
        ReadCase{"empty file", "", "ComPort", "language", kFallback}),
    [](const testing::TestParamInfo<ReadCase>& info) { return test::CaseName(info.param.what); });

TEST(ProfileReadFile, MissingFileOrDirectoryGivesTheFallback) {
  ScratchDirectory scratch;
  EXPECT_EQ(ReadProfileString("ComPort", "Showmag", kFallback, scratch / "Comport.ini"), kFallback);
  EXPECT_EQ(ReadProfileString("ComPort", "Showmag", "", scratch / "no/such/Comport.ini"), "");
  EXPECT_EQ(ReadProfileString("ComPort", "Showmag", kFallback, scratch.Path()), kFallback);
  EXPECT_FALSE(fs::exists(scratch / "Comport.ini"));
}

TEST(ProfileReadFile, ValuesAreCutTo2047Characters) {
  ScratchDirectory scratch;
  const std::string path = scratch / "Comport.ini";
  const std::string longValue = std::string(kProfileValueMax, 'a') + "bcdef";
  WriteBytes(path, "[ComPort]\r\nFilename=" + longValue + "\r\n");
  EXPECT_EQ(ReadProfileString("ComPort", "Filename", "", path), longValue.substr(0, 2047));
}

TEST(ProfileReadFile, EveryReadSeesTheFileAsItIsNow) {
  ScratchDirectory scratch;
  const std::string path = scratch / "Comport.ini";
  ASSERT_TRUE(WriteProfileString("ComPort", "language", "ENG", path));
  EXPECT_EQ(ReadProfileString("ComPort", "language", "", path), "ENG");
  WriteBytes(path, "[ComPort]\r\nlanguage=CH\r\n");
  EXPECT_EQ(ReadProfileString("ComPort", "language", "", path), "CH");
  fs::remove(path);
  EXPECT_EQ(ReadProfileString("ComPort", "language", kFallback, path), kFallback);
}

// ---- Writing ------------------------------------------------------------------

struct WriteCase {
  const char* what;
  std::optional<std::string> before;  // nothing: no file yet
  std::string key;
  std::string value;
  std::string after;
};

void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.what; }

class ProfileWrite : public testing::TestWithParam<WriteCase> {};

TEST_P(ProfileWrite, ChangesOnlyTheKey) {
  const WriteCase& c = GetParam();
  ScratchDirectory scratch;
  const std::string path = scratch / "Comport.ini";
  if (c.before) WriteBytes(path, *c.before);
  ASSERT_TRUE(WriteProfileString("ComPort", c.key, c.value, path)) << c.what;
  EXPECT_EQ(ReadBytes(path), c.after) << c.what;
  EXPECT_EQ(ReadProfileString("ComPort", c.key, kFallback, path), c.value) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProfileWrite,
    testing::Values(
        WriteCase{"first write creates the file", std::nullopt, "Showmag", "0", "[ComPort]\r\nShowmag=0\r\n"},
        WriteCase{"empty file", "", "Showmag", "0", "[ComPort]\r\nShowmag=0\r\n"},
        WriteCase{"new key at the end of its section", "[ComPort]\r\nShowmag=0\r\n\r\n[Other]\r\nx=1\r\n", "language",
                  "ENG", "[ComPort]\r\nShowmag=0\r\nlanguage=ENG\r\n\r\n[Other]\r\nx=1\r\n"},
        WriteCase{"replaced in place, all else kept",
                  "; settings\n[Other]\nShowmag=5\n[ComPort]\nShowmag=0\nlanguage=CH\n", "Showmag", "1",
                  "; settings\n[Other]\nShowmag=5\n[ComPort]\nShowmag=1\nlanguage=CH\n"},
        WriteCase{"names matched in any case, spelling kept", "[comport]\r\n  SHOWMAG = 0 \r\n", "Showmag", "1",
                  "[comport]\r\nSHOWMAG=1\r\n"},
        WriteCase{"each line keeps its own line end", "[ComPort]\r\nShowmag=0\nlanguage=ENG\r\n", "Showmag", "1",
                  "[ComPort]\r\nShowmag=1\nlanguage=ENG\r\n"},
        WriteCase{"new section after a last line without line end", "[Other]\nx=1", "Showmag", "1",
                  "[Other]\nx=1\n[ComPort]\nShowmag=1\n"},
        WriteCase{"new key after a last line without line end", "[ComPort]\r\nShowmag=0", "language", "ENG",
                  "[ComPort]\r\nShowmag=0\r\nlanguage=ENG\r\n"},
        WriteCase{"comment is not the key", "[ComPort]\r\n;Showmag=0\r\n", "Showmag", "1",
                  "[ComPort]\r\n;Showmag=0\r\nShowmag=1\r\n"},
        WriteCase{"first of two sections", "[ComPort]\r\na=1\r\n[ComPort]\r\nShowmag=0\r\n", "Showmag", "1",
                  "[ComPort]\r\na=1\r\nShowmag=1\r\n[ComPort]\r\nShowmag=0\r\n"},
        WriteCase{"byte order mark kept", "\xEF\xBB\xBF[ComPort]\r\nShowmag=0\r\n", "Showmag", "1",
                  "\xEF\xBB\xBF[ComPort]\r\nShowmag=1\r\n"},
        WriteCase{"empty value", "[ComPort]\r\nFilename=/fw/a.hex\r\n", "Filename", "", "[ComPort]\r\nFilename=\r\n"}),
    [](const testing::TestParamInfo<WriteCase>& info) { return test::CaseName(info.param.what); });

TEST(ProfileWriteFile, KeysAddUpInOneSection) {
  ScratchDirectory scratch;
  const std::string path = scratch / "Comport.ini";
  ASSERT_TRUE(WriteProfileString("ComPort", "Showmag", "0", path));
  ASSERT_TRUE(WriteProfileString("ComPort", "language", "ENG", path));
  ASSERT_TRUE(WriteProfileString("comport", "SHOWMAG", "1", path));
  ASSERT_TRUE(WriteProfileString("ComPort", "Filename", "/home/u/fw 1.hex", path));
  EXPECT_EQ(ReadBytes(path), "[ComPort]\r\nShowmag=1\r\nlanguage=ENG\r\nFilename=/home/u/fw 1.hex\r\n");
}

TEST(ProfileWriteFile, LongValueIsStoredWholeAndReadCut) {
  ScratchDirectory scratch;
  const std::string path = scratch / "Comport.ini";
  const std::string longValue(3000, 'x');
  ASSERT_TRUE(WriteProfileString("ComPort", "Filename", longValue, path));
  EXPECT_EQ(ReadBytes(path), "[ComPort]\r\nFilename=" + longValue + "\r\n");
  EXPECT_EQ(ReadProfileString("ComPort", "Filename", "", path), std::string(kProfileValueMax, 'x'));
}

TEST(ProfileWriteFile, LeavesNoTemporaryFileAndKeepsTheMode) {
  ScratchDirectory scratch;
  const std::string path = scratch / "Comport.ini";
  WriteBytes(path, "[ComPort]\r\nShowmag=0\r\n");
  fs::permissions(path, fs::perms(0640));
  ASSERT_TRUE(WriteProfileString("ComPort", "Showmag", "1", path));
  ASSERT_TRUE(WriteProfileString("ComPort", "language", "ENG", path));
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(scratch.Path())) names.push_back(entry.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"Comport.ini"});
  EXPECT_EQ(fs::status(path).permissions(), fs::perms(0640));
}

TEST(ProfileWriteFile, WritesThroughASymbolicLink) {
  ScratchDirectory scratch;
  const std::string link = scratch / "Comport.ini";
  const std::string target = scratch / "real.ini";
  WriteBytes(target, "[ComPort]\r\nShowmag=0\r\n");
  fs::create_symlink("real.ini", link);
  ASSERT_TRUE(WriteProfileString("ComPort", "Showmag", "1", link));
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(ReadBytes(target), "[ComPort]\r\nShowmag=1\r\n");
}

struct RefusedCase {
  const char* what;
  std::string section;
  std::string key;
  std::string value;
};

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.what; }

class ProfileWriteRefused : public testing::TestWithParam<RefusedCase> {};

// A file name may hold line breaks on POSIX; stored raw it would add keys.
TEST_P(ProfileWriteRefused, LeavesTheFileAsItWas) {
  const RefusedCase& c = GetParam();
  ScratchDirectory scratch;
  const std::string path = scratch / "Comport.ini";
  const std::string before = "[ComPort]\r\nShowmag=0\r\n";
  WriteBytes(path, before);
  EXPECT_FALSE(WriteProfileString(c.section, c.key, c.value, path)) << c.what;
  EXPECT_EQ(ReadBytes(path), before) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProfileWriteRefused,
    testing::Values(RefusedCase{"CR LF in the value", "ComPort", "Filename", "a.hex\r\nlanguage=CH"},
                    RefusedCase{"LF in the value", "ComPort", "Filename", "a\nb.hex"},
                    RefusedCase{"NUL in the value", "ComPort", "Filename", std::string("a\0b", 3)},
                    RefusedCase{"line break in the key", "ComPort", "Show\nmag", "1"},
                    RefusedCase{"equals sign in the key", "ComPort", "Show=mag", "1"},
                    RefusedCase{"empty key", "ComPort", "", "1"},
                    RefusedCase{"key that reads as a comment", "ComPort", ";Showmag", "1"},
                    RefusedCase{"bracket in the section", "Com]Port", "Showmag", "1"},
                    RefusedCase{"empty section", "", "Showmag", "1"}),
    [](const testing::TestParamInfo<RefusedCase>& info) { return test::CaseName(info.param.what); });

TEST(ProfileWriteFile, UnwritableDirectoryFailsAndCreatesNothing) {
  ScratchDirectory scratch;
  const std::string directory = scratch.MakeDirectory("installed", 0555);
  const std::string path = directory + "/Comport.ini";
  EXPECT_TRUE(test::RunAsOrdinaryUser(
      [&] { return !WriteProfileString("ComPort", "Showmag", "0", path) && fs::is_empty(directory); }));
  EXPECT_FALSE(WriteProfileString("ComPort", "Showmag", "0", scratch / "no/such/dir/Comport.ini"));
}

TEST(ProfileWriteFile, ReadOnlyFileIsRefusedAndKept) {
  ScratchDirectory scratch;
  const std::string directory = scratch.MakeDirectory("settings", 0777);
  const std::string path = directory + "/Comport.ini";
  const std::string before = "[ComPort]\r\nShowmag=0\r\n";
  WriteBytes(path, before);
  fs::permissions(path, fs::perms(0444));
  EXPECT_TRUE(test::RunAsOrdinaryUser([&] {
    return !WriteProfileString("ComPort", "Showmag", "1", path) && ReadBytes(path) == before &&
           ReadProfileString("ComPort", "Showmag", "", path) == "0";
  }));
}

}  // namespace
}  // namespace mx
