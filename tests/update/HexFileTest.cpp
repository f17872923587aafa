#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "update/FirmwareImage.h"
#include "update/HexFile.h"

namespace mx {
namespace {

using Lines = std::vector<std::string>;

// One record with its checksum, upper-case digits.
std::string Record(std::uint8_t type, std::uint16_t address, const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(data.size()), static_cast<std::uint8_t>(address >> 8),
                                  static_cast<std::uint8_t>(address & 0xFF), type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  std::uint8_t sum = 0;
  for (std::uint8_t byte : bytes) sum = static_cast<std::uint8_t>(sum + byte);
  bytes.push_back(static_cast<std::uint8_t>(0x100 - sum));
  std::string line = ":";
  char pair[3];
  for (std::uint8_t byte : bytes) {
    std::snprintf(pair, sizeof pair, "%02X", byte);
    line += pair;
  }
  return line;
}

std::string Data(std::uint16_t address, std::size_t count = 16) {
  std::vector<std::uint8_t> bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(address + i);
  return Record(0x00, address, bytes);
}

std::string Upper(std::uint16_t word) {
  return Record(0x04, 0, {static_cast<std::uint8_t>(word >> 8), static_cast<std::uint8_t>(word & 0xFF)});
}

std::string WithBadChecksum(std::string line) {
  char& last = line.back();
  last = last == '0' ? '1' : '0';
  return line;
}

const std::string kEnd = ":00000001FF";

// The lines as a file's text, each with its line break.
std::string Text(const Lines& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

HexCheck Check(const Lines& lines) { return ReadHexText(Text(lines)).check; }

// ---- Checking a file ----

struct CheckCase {
  const char* name;
  Lines lines;
  HexRefusal refusal;
  std::int32_t dataRecords;
  Lines addressFaults;
};

void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.name; }

Lines FaultTexts(const AddressFaults& faults) {
  Lines texts;
  for (const AddressFault& fault : faults) texts.push_back(AddressFaultText(fault));
  return texts;
}

class HexCheckTest : public testing::TestWithParam<CheckCase> {};

TEST_P(HexCheckTest, Result) {
  const CheckCase& c = GetParam();
  const HexCheck check = Check(c.lines);
  EXPECT_FALSE(check.conversionError) << *check.conversionError;
  EXPECT_EQ(check.refusal, c.refusal) << RefusalText(check.refusal);
  EXPECT_EQ(check.Accepted(), c.refusal == HexRefusal::None);
  EXPECT_EQ(check.dataRecordCount, c.dataRecords);
  EXPECT_EQ(FaultTexts(check.addressFaults), c.addressFaults);
  EXPECT_EQ(check.linesExamined, c.lines.size());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HexCheckTest,
    testing::Values(
        CheckCase{"OnlyEndRecord", {kEnd}, HexRefusal::None, 0, {}},
        CheckCase{"FirstDataAtZeroWithoutUpper", {Data(0x0000), kEnd}, HexRefusal::None, 1, {}},
        CheckCase{"FirstDataAt0100WithoutUpper", {Data(0x0100), kEnd}, HexRefusal::AddressNotFromZero, 1, {}},
        CheckCase{"Upper0ThenFirstDataAt0100", {":020000040000FA", Data(0x0100), kEnd}, HexRefusal::None, 1, {}},
        CheckCase{"Upper1ThenFirstDataAt0000", {":020000040001F9", Data(0x0000), kEnd}, HexRefusal::None, 1, {}},
        CheckCase{"Upper1ThenFirstDataAt0010",
                  {":020000040001F9", Data(0x0010), kEnd},
                  HexRefusal::AddressNotFromZero,
                  1,
                  {}},
        CheckCase{"OnlySecondUpperByteCounts", {":020000040100F9", Data(0x0100), kEnd}, HexRefusal::None, 1, {}},
        CheckCase{"SixteenByteSteps", {Data(0x0000), Data(0x0010), Data(0x0020, 5), kEnd}, HexRefusal::None, 3, {}},
        CheckCase{"ThirtyTwoByteStepsWithoutUpper",
                  {Data(0x0000, 32), Data(0x0020, 32), kEnd},
                  HexRefusal::AddressInconsistency,
                  2,
                  {"-65504 - -65536"}},
        CheckCase{"ThirtyTwoByteStepsAfterUpper0",
                  {":020000040000FA", Data(0x0000, 32), Data(0x0020, 32), kEnd},
                  HexRefusal::AddressInconsistency,
                  2,
                  {"32 - 0"}},
        CheckCase{"EightByteRecordThenNextStep", {Data(0x0000, 8), Data(0x0010), kEnd}, HexRefusal::None, 2, {}},
        CheckCase{"ThirtyTwoByteRecordThenNextStep", {Data(0x0000, 32), Data(0x0010), kEnd}, HexRefusal::None, 2, {}},
        CheckCase{"StepIntoNextUpperWord",
                  {":020000040000FA", Data(0xFFF0), ":020000040001F9", Data(0x0000), kEnd},
                  HexRefusal::None,
                  2,
                  {}},
        CheckCase{"UpperWordJumpsTooFar",
                  {":020000040000FA", Data(0xFFF0), ":020000040002F8", Data(0x0000), kEnd},
                  HexRefusal::AddressInconsistency,
                  2,
                  {"131072 - 65520"}},
        CheckCase{"SameAddressTwice",
                  {Data(0x0000), Data(0x0000), kEnd},
                  HexRefusal::AddressInconsistency,
                  2,
                  {"-65536 - -65536"}},
        CheckCase{"RefusedRecordsStillCount",
                  {Data(0x0000), Data(0x0030), Data(0x0040), Data(0x0080), kEnd},
                  HexRefusal::AddressInconsistency,
                  4,
                  {"-65488 - -65536", "-65408 - -65472"}},
        CheckCase{"LinesAfterEndNotExamined",
                  {Data(0x0000), kEnd, "", "garbage", ":zz", ":02000002FFFFFE"},
                  HexRefusal::None,
                  1,
                  {}},
        CheckCase{"DataAfterEndNotCounted", {kEnd, Data(0x0100)}, HexRefusal::None, 0, {}},
        CheckCase{"EmptyFile", {}, HexRefusal::IncompleteFile, 0, {}},
        CheckCase{"NoEndRecord", {Data(0x0000), Data(0x0010)}, HexRefusal::IncompleteFile, 2, {}},
        CheckCase{"NoEndRecordOutranksOtherFaults",
                  {"", Data(0x0100), WithBadChecksum(Data(0x0200))},
                  HexRefusal::IncompleteFile,
                  2,
                  {"-65024 - -65280"}},
        CheckCase{"BlankLineBeforeEnd", {Data(0x0000), "", kEnd}, HexRefusal::InvalidFileFormat, 1, {}},
        CheckCase{"NoColonBeforeEnd", {"00000001FF", kEnd}, HexRefusal::InvalidFileFormat, 0, {}},
        CheckCase{"Type02", {Record(0x02, 0, {0x10, 0x00}), kEnd}, HexRefusal::InvalidRecordType, 0, {}},
        CheckCase{"Type03", {Record(0x03, 0, {0, 0, 0, 0}), kEnd}, HexRefusal::InvalidRecordType, 0, {}},
        CheckCase{"Type05", {Record(0x05, 0, {0, 0, 0, 0}), kEnd}, HexRefusal::InvalidRecordType, 0, {}},
        CheckCase{"BadTypeAndChecksum",
                  {WithBadChecksum(Record(0x05, 0, {0, 0, 0, 0})), kEnd},
                  HexRefusal::ChecksumError,
                  0,
                  {}},
        CheckCase{"AddressFaultThenChecksumFault",
                  {Data(0x0000), Data(0x0020), WithBadChecksum(Data(0x0030)), kEnd},
                  HexRefusal::ChecksumError,
                  3,
                  {"-65504 - -65536"}},
        CheckCase{"ChecksumFaultThenAddressFault",
                  {WithBadChecksum(Data(0x0000)), Data(0x0010), Data(0x0030), kEnd},
                  HexRefusal::AddressInconsistency,
                  3,
                  {"-65488 - -65520"}},
        CheckCase{"BadChecksumOnEndRecord", {":00000001FE"}, HexRefusal::ChecksumError, 0, {}},
        CheckCase{
            "BadChecksumOnUpperRecord", {":020000040000FB", Data(0x0100), kEnd}, HexRefusal::ChecksumError, 1, {}},
        CheckCase{
            "LowerCaseDigits", {":10000000000102030405060708090a0b0c0d0e0f78", ":00000001ff"}, HexRefusal::None, 1, {}},
        CheckCase{"TrailingCharactersIgnored", {Data(0x0000) + "   ; comment", kEnd + " \t"}, HexRefusal::None, 1, {}},
        CheckCase{"ByteCountAndAddressOfEndNotTested", {":0212340100FFB8"}, HexRefusal::None, 0, {}},
        CheckCase{"EndRecordSumCoversItsData", {":0212340100FFB6"}, HexRefusal::ChecksumError, 0, {}},
        // A type-04 record's byte count is not looked at: the byte at
        // characters 12-13 (here the checksum FB) becomes the upper address.
        CheckCase{"UpperByteBeyondTheByteCount",
                  {":0100000400FB", Data(0x0100), kEnd},
                  HexRefusal::AddressNotFromZero,
                  1,
                  {}}),
    [](const testing::TestParamInfo<CheckCase>& info) { return info.param.name; });

TEST(HexCheckTest, LinesExaminedCountsEveryLineAfterTheEnd) {
  const Lines lines{Data(0x0000), kEnd, "", "", "not a record"};
  EXPECT_EQ(Check(lines).linesExamined, 5u);
}

TEST(HexCheckTest, MoreThan65535LinesAreRead) {
  // 70,000 data records of 16 bytes, an upper address record every 4,096.
  Lines lines;
  const std::size_t records = 70'000;
  lines.reserve(records + records / 4096 + 2);
  for (std::size_t i = 0; i < records; ++i) {
    if (i % 4096 == 0) lines.push_back(Upper(static_cast<std::uint16_t>(i / 4096)));
    lines.push_back(Data(static_cast<std::uint16_t>((i % 4096) * 16)));
  }
  lines.push_back(kEnd);
  const HexCheck check = Check(lines);
  EXPECT_TRUE(check.Accepted()) << RefusalText(check.refusal);
  EXPECT_EQ(check.dataRecordCount, 70'000);
  EXPECT_EQ(check.linesExamined, lines.size());
}

// ---- Fields that cannot be converted stop the check ----

struct ConversionCase {
  const char* name;
  Lines lines;
  std::string error;
  std::size_t linesExamined;
  HexRefusal refusalSoFar;
};

void PrintTo(const ConversionCase& c, std::ostream* os) { *os << c.name; }

class HexConversionTest : public testing::TestWithParam<ConversionCase> {};

TEST_P(HexConversionTest, StopsWithText) {
  const ConversionCase& c = GetParam();
  const HexCheck check = Check(c.lines);
  ASSERT_TRUE(check.conversionError);
  EXPECT_EQ(*check.conversionError, c.error);
  EXPECT_EQ(check.linesExamined, c.linesExamined);
  EXPECT_EQ(check.refusal, c.refusalSoFar);
  EXPECT_FALSE(check.Accepted());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HexConversionTest,
    testing::Values(
        ConversionCase{"DataByteG0",
                       {Data(0x0000), ":10001000g0112233445566778899AABBCCDDEEFF00", kEnd},
                       "'$g0' is not a valid integer value",
                       1,
                       HexRefusal::None},
        ConversionCase{"ByteCount", {":g0000001FF"}, "'$g0' is not a valid integer value", 0, HexRefusal::None},
        ConversionCase{"TypeField", {":000000g1FF"}, "'$g1' is not a valid integer value", 0, HexRefusal::None},
        ConversionCase{
            "ByteCountReadFirst", {":0z0000g1FF"}, "'$0z' is not a valid integer value", 0, HexRefusal::None},
        ConversionCase{
            "TypeReadBeforeAddress", {":1000g0x0"}, "'$x0' is not a valid integer value", 0, HexRefusal::None},
        ConversionCase{
            "DataAddressAsOneField", {":1000g00000"}, "'$00g0' is not a valid integer value", 0, HexRefusal::None},
        ConversionCase{
            "EndRecordAddressInChecksum", {":00zz0001FF"}, "'$zz' is not a valid integer value", 0, HexRefusal::None},
        ConversionCase{
            "UpperByteBeforeChecksum", {":020000040g0hF9"}, "'$0h' is not a valid integer value", 0, HexRefusal::None},
        ConversionCase{
            "UpperFirstByteInChecksum", {":020000040g00F9"}, "'$0g' is not a valid integer value", 0, HexRefusal::None},
        ConversionCase{"OnlyColon", {":"}, "'$' is not a valid integer value", 0, HexRefusal::None},
        ConversionCase{"HalfByteCount", {":1"}, "'$1' is not a valid integer value", 0, HexRefusal::None},
        ConversionCase{"LineEndsBeforeType", {":100000"}, "'$' is not a valid integer value", 0, HexRefusal::None},
        ConversionCase{"LineEndsInsideType", {":1000000"}, "'$0' is not a valid integer value", 0, HexRefusal::None},
        ConversionCase{"LineEndsAfterByteCount", {":10"}, "'$' is not a valid integer value", 0, HexRefusal::None},
        ConversionCase{
            "RecordShorterThanByteCount", {":10000000000102"}, "'$' is not a valid integer value", 0, HexRefusal::None},
        ConversionCase{"ChecksumCutInHalf", {":000000010"}, "'$0' is not a valid integer value", 0, HexRefusal::None},
        ConversionCase{"UpperRecordTooShort", {":02000004"}, "'$' is not a valid integer value", 0, HexRefusal::None},
        ConversionCase{"BadTypeRecordStillConvertsChecksum",
                       {":00000002xx"},
                       "'$xx' is not a valid integer value",
                       0,
                       HexRefusal::InvalidRecordType},
        ConversionCase{"EarlierRefusalKept",
                       {"", Data(0x0100), ":0q"},
                       "'$0q' is not a valid integer value",
                       2,
                       HexRefusal::AddressNotFromZero}),
    [](const testing::TestParamInfo<ConversionCase>& info) { return info.param.name; });

TEST(HexConversionTest, NoIncompleteFileAfterAStop) {
  const HexCheck check = Check({":0g"});
  EXPECT_EQ(check.refusal, HexRefusal::None);
  EXPECT_TRUE(check.conversionError);
}

TEST(RefusalTextTest, Texts) {
  EXPECT_EQ(RefusalText(HexRefusal::None), "");
  EXPECT_EQ(RefusalText(HexRefusal::AddressNotFromZero), "Address not starting from 0.");
  EXPECT_EQ(RefusalText(HexRefusal::AddressInconsistency), "Address inconsistency.");
  EXPECT_EQ(RefusalText(HexRefusal::InvalidRecordType), "Invalid record type.");
  EXPECT_EQ(RefusalText(HexRefusal::ChecksumError), "Checksum error.");
  EXPECT_EQ(RefusalText(HexRefusal::InvalidFileFormat), "Invalid file format.");
  EXPECT_EQ(RefusalText(HexRefusal::IncompleteFile), "Incompleted file.");
}

// ---- Splitting the text into lines ----

struct SplitCase {
  const char* name;
  std::string text;
  Lines lines;
};

void PrintTo(const SplitCase& c, std::ostream* os) { *os << c.name; }

class SplitLinesTest : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitLinesTest, Lines) { EXPECT_EQ(SplitLines(GetParam().text), GetParam().lines); }

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitLinesTest,
    testing::Values(SplitCase{"Empty", "", {}}, SplitCase{"OneLineNoBreak", "a", {"a"}},
                    SplitCase{"TrailingLf", "a\n", {"a"}}, SplitCase{"TrailingCrLf", "a\r\n", {"a"}},
                    SplitCase{"TrailingCr", "a\r", {"a"}}, SplitCase{"Lf", "a\nb", {"a", "b"}},
                    SplitCase{"Cr", "a\rb", {"a", "b"}}, SplitCase{"CrLf", "a\r\nb\r\n", {"a", "b"}},
                    SplitCase{"Mixed", "a\rb\nc\r\nd", {"a", "b", "c", "d"}},
                    SplitCase{"BlankLineKept", "a\n\nb", {"a", "", "b"}},
                    SplitCase{"LfCrIsTwoBreaks", "a\n\r", {"a", ""}}, SplitCase{"CrCrLf", "a\r\r\nb", {"a", "", "b"}},
                    SplitCase{"OnlyBreak", "\n", {""}}, SplitCase{"TwoBreaks", "\r\n\r\n", {"", ""}},
                    SplitCase{"NulEndsText", std::string("a\nb\0c\nd", 7), {"a", "b"}},
                    SplitCase{"NulFirst", std::string("\0a", 2), {}},
                    SplitCase{"EightBitKept", "\xff\x80 x\n", {"\xff\x80 x"}},
                    SplitCase{"SpacesKept", "  :00000001FF  \r\n", {"  :00000001FF  "}}),
    [](const testing::TestParamInfo<SplitCase>& info) { return info.param.name; });

// ---- Reading the file ----

class ReadFileTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ =
        std::filesystem::temp_directory_path() / ("mx_hex_" + std::to_string(reinterpret_cast<std::uintptr_t>(this)) +
                                                  "_" + testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Write(const std::string& name, const std::string& bytes) {
    const std::filesystem::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
  }

  std::filesystem::path dir_;
};

TEST_F(ReadFileTest, WhatCannotBeOpenedIsNamedWithTheSystemsReason) {
  for (const std::string& path : {(dir_ / "missing.hex").string(), dir_.string()}) {
    const ImageReading reading = ReadFirmwareFile(path);
    const std::string prefix = "Cannot open file \"" + path + "\". ";
    EXPECT_EQ(reading.refusal.rfind(prefix, 0), 0u) << reading.refusal;
    EXPECT_GT(reading.refusal.size(), prefix.size()) << "the system's reason follows";
    EXPECT_FALSE(reading.fileRead);
    EXPECT_TRUE(reading.refusalBeeps);
  }
}

TEST_F(ReadFileTest, AnEmptyFileIsIncomplete) {
  const ImageReading reading = ReadFirmwareFile(Write("empty.hex", ""));
  EXPECT_TRUE(reading.fileRead);
  EXPECT_EQ(reading.refusal, "File import failure : Incompleted file.");
  EXPECT_EQ(reading.linesExamined, 0u);
}

// ---- The firmware image ----

// What the window shows for each kind of reading, and what an image holds.
TEST_F(ReadFileTest, FirmwareFileReadingsSayWhatTheyFound) {
  // 16 + 4 data bytes; records after the end record are no part of the image.
  const ImageReading accepted =
      ReadFirmwareFile(Write("short.hex", Data(0) + "\n:0400100010111213A6\n" + kEnd + "\n" + Data(0x20) + "\n"));
  ASSERT_TRUE(accepted.image) << accepted.refusal;
  EXPECT_EQ(accepted.refusal, "");
  EXPECT_EQ(accepted.image->DataRecordCount(), 2);
  EXPECT_EQ(accepted.image->DataBytes(), 20u);
  EXPECT_EQ(accepted.image->Records().size(), 4u);
  EXPECT_EQ(accepted.linesExamined, 4u);
  // The digest names the bytes read once, refused or not; the image carries it.
  const std::string text = Data(0) + "\n" + kEnd + "\n";
  const auto digest = [](std::string_view bytes) { return "digest of " + std::string(bytes); };
  const ImageReading kept = ReadFirmwareFile(Write("kept.hex", text), digest);
  ASSERT_TRUE(kept.image);
  EXPECT_EQ(kept.fileDigest, "digest of " + text);
  EXPECT_EQ(kept.image->FileDigest(), kept.fileDigest);
  EXPECT_EQ(ReadFirmwareFile(Write("bad.hex", "x\n"), digest).fileDigest, "digest of x\n");

  const ImageReading refused = ReadFirmwareFile(Write("gap.hex", Data(0) + "\n" + Data(0x30) + "\n" + kEnd));
  EXPECT_FALSE(refused.image);
  EXPECT_TRUE(refused.fileRead);
  EXPECT_FALSE(refused.refusalBeeps);
  EXPECT_EQ(refused.refusal, "File import failure : Address inconsistency.");
  EXPECT_EQ(FaultTexts(refused.addressFaults), Lines{"-65488 - -65536"});  // no upper address record: FFFF

  const ImageReading notHex = ReadFirmwareFile(Write("g0.hex", ":10000000g0\n"));
  EXPECT_TRUE(notHex.refusalBeeps);
  EXPECT_EQ(notHex.refusal, "'$g0' is not a valid integer value");

  const ImageReading unreadable = ReadFirmwareFile((dir_ / "missing.hex").string());
  EXPECT_FALSE(unreadable.fileRead);
  EXPECT_TRUE(unreadable.refusalBeeps);
  EXPECT_EQ(unreadable.refusal.rfind("Cannot open file \"", 0), 0u);
}

// ---- The records kept for the transfer ----

struct KeptRecord {
  std::uint8_t type;
  std::uint16_t address;
  std::uint8_t upperByte;
  std::vector<std::uint8_t> data;
  bool operator==(const KeptRecord&) const = default;
};

void PrintTo(const KeptRecord& r, std::ostream* os) {
  *os << "type " << int(r.type) << " address " << r.address << " upper " << int(r.upperByte) << " with "
      << r.data.size() << " bytes";
}

std::vector<KeptRecord> Kept(const HexRecords& records) {
  std::vector<KeptRecord> kept;
  for (const HexRecord record : records) {
    kept.push_back({record.type, record.address, record.upperByte, {record.data.begin(), record.data.end()}});
  }
  return kept;
}

std::vector<std::uint8_t> DataOf(std::uint16_t address, std::size_t count = 16) {
  std::vector<std::uint8_t> bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(address + i);
  return bytes;
}

// Line breaks of every kind and lines without a record are dropped; records
// after the end record are kept as far as they read, their checksums
// untested, since the transfer sends them.
TEST(ReadHexTextTest, KeepsTheRecordsOfAnAcceptedFile) {
  const std::string text = ":020000040000FA\r" + Data(0) + "\r\n:04001000DEadBEefB4  trailing\n" + kEnd +
                           "\r\n\n:\nnot a record\n" + Data(0x10) + "\n:020000040123D6\n:0100000400FB\n" +
                           ":00000004zzAB\n:0100000011zz\n" + Record(0x02, 0, {0x10, 0x00}) + "\n" + kEnd;
  const HexReading reading = ReadHexText(text);
  ASSERT_TRUE(reading.check.Accepted()) << RefusalText(reading.check.refusal);
  EXPECT_EQ(reading.check.linesExamined, 14u);
  EXPECT_EQ(Kept(reading.records), (std::vector<KeptRecord>{{0x04, 0, 0x00, {}},
                                                            {0x00, 0x0000, 0, DataOf(0)},
                                                            {0x00, 0x0010, 0, {0xDE, 0xAD, 0xBE, 0xEF}},
                                                            {0x01, 0, 0, {}},
                                                            {0x00, 0x0010, 0, DataOf(0x10)},
                                                            {0x04, 0, 0x23, {}},
                                                            {0x04, 0, 0xFB, {}},
                                                            {0x04, 0, 0xAB, {}},
                                                            {0x00, 0x0000, 0, {0x11}},
                                                            {0x01, 0, 0, {}}}));
}

TEST(ReadHexTextTest, LinesAfterTheEndThatDoNotReadAreNotKept) {
  for (const char* line :
       {"", " :00000001FF", "00000001FF", ":", ":0", ":000000", ":0000000", ":0g000001FF", ":00g00001FF", ":000000g1FF",
        ":0100000", ":01000000", ":010000001", ":01000000g1", ":02000004", ":0200000401", ":020000040g01"}) {
    const HexReading reading = ReadHexText(kEnd + "\n" + line);
    EXPECT_TRUE(reading.check.Accepted());
    EXPECT_EQ(reading.records.size(), 1u) << '"' << line << '"';
  }
}

// An image made in code keeps its records unchecked.
TEST(ReadHexTextTest, AnImageFromLinesIsNotChecked) {
  const FirmwareImage image(Lines{Upper(1), Data(0x0010), kEnd, "x"});
  EXPECT_EQ(image.Records().size(), 3u);
  EXPECT_EQ(image.DataRecordCount(), 1);
  EXPECT_EQ(image.DataBytes(), 16u);
}

// A refused file keeps none, though the reading goes on for its last refusal.
TEST(ReadHexTextTest, KeepsNoRecordOfARefusedFile) {
  const HexReading refused = ReadHexText("\n" + Data(0) + "\n:10001000zz\n");
  EXPECT_EQ(refused.records.size(), 0u);
  EXPECT_TRUE(refused.check.conversionError) << "the reading went on past the first refusal";
  EXPECT_EQ(refused.check.linesExamined, 2u);
  EXPECT_EQ(ReadHexText(Data(0) + "\n" + Data(0x10)).records.size(), 0u) << "no end record";
}

}  // namespace
}  // namespace mx
