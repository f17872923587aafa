// The receive log as the memo shows it: which of the parser's entries it
// takes, the version digits it keeps, the lines written for them in each
// language, and the connect's restart check on the first of them.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "actions/DeviceActions.h"
#include "actions/ReceiveLog.h"
#include "app/LanguageTexts.h"
#include "app/form/ReceiveDisplay.h"

namespace mx {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

const LoggedFrame kTwoFrames{{85, 85, 1, 0, 1, 1, 253, 4, 85, 85, 1, 1, 254, 4}};
const VersionReply kVersion{1, 1, "FD0455", "550101"};

Lines AllLines(const std::vector<LogEntry>& entries, Language language, bool restoreMode = false) {
  Lines lines;
  for (const LogEntry& entry : entries) {
    for (const std::string& line : ReceiveLogLines(entry, TextsFor(language), restoreMode)) lines.push_back(line);
  }
  return lines;
}

TEST(ReceiveLogLines, EnglishLinesForEveryEntry) {
  const std::vector<LogEntry> entries{LoggedFrame{{85, 85, 1, 2, 0, 253, 4}},
                                      ChecksumChecked{},
                                      WriteAcknowledged{},
                                      EraseAcknowledged{},
                                      WizardFrameSeen{},
                                      kVersion};
  const Lines expected{"Command Received:85,85,1,2,0,253,4,",
                       "Command checksum checked.",
                       "Bootloader : Write command ACK received.",
                       "Bootloader : Erase command ACK received.",
                       "Update Wizard",
                       "Bootloader Version:1.1",
                       "OldVersion:FD0455",
                       "RestorePoint:550101"};
  EXPECT_EQ(AllLines(entries, Language::English), expected);
}

TEST(ReceiveLogLines, ChineseAndRestorePrefixes) {
  const std::vector<LogEntry> entries{LoggedFrame{{85, 85, 4}}, ChecksumChecked{}, kVersion};
  EXPECT_EQ(AllLines(entries, Language::Chinese),
            (Lines{"指令就緒 :85,85,4,", "指令檢查就緒", "Bootloader 版本:1.1", "目前版本:FD0455", "還原點:550101"}));
  EXPECT_EQ(AllLines({LoggedFrame{{85, 85, 4}}}, Language::English, true), Lines{"Restore:85,85,4,"});
  // The ACK lines are the log's own, in every language.
  EXPECT_EQ(AllLines({EraseAcknowledged{}}, Language::Chinese), Lines{"Bootloader : Erase command ACK received."});
}

TEST(ReceiveLogLines, WithoutLanguageTextsThePrefixesAreEmpty) {
  EXPECT_EQ(AllLines({LoggedFrame{{85, 85, 4}}, ChecksumChecked{}, VersionReply{1, 1, "FD04", ""}}, Language::None),
            (Lines{":85,85,4,", "", ":1.1", ":FD04", ":"}));
}

// What the log takes of one chunk: the parser's entries for `received`,
// with `before` entries taken already.
struct TakeCase {
  const char* name;
  bool logFrames;  // "Show Message"
  std::uint16_t before;
  Bytes received;
  Lines taken;  // as the memo shows them, in English
  std::uint16_t countAfter;
};

void PrintTo(const TakeCase& c, std::ostream* os) { *os << c.name; }

class LogTakes : public testing::TestWithParam<TakeCase> {};

const Bytes kWriteAccepted{0x55, 0x55, 0x01, 0x02, 0x00, 0xFD, 0x04};
const Bytes kEraseAccepted{0x55, 0x55, 0x01, 0x03, 0x00, 0xFC, 0x04};
const Bytes kVersion11{0x55, 0x55, 0x01, 0x00, 0x01, 0x01, 0xFD, 0x04};
const char* const kChecked = "Command checksum checked.";
const char* const kEraseAck = "Bootloader : Erase command ACK received.";
const Lines kVersionWithoutDigits{"Bootloader Version:1.1", "OldVersion:", "RestorePoint:"};

// Versions are taken whatever the count, so they bring a log to any count.
void TakeVersions(ReceiveLog& log, std::size_t count) { log.Take(std::vector<LogEntry>(count, VersionReply{}), false); }

Lines Taken(ReceiveLog& log, const Bytes& received, bool logFrames, bool wizardWaiting = false) {
  ReplyReceiver receiver;
  receiver.Arm();
  return AllLines(log.Take(receiver.Feed(received, {wizardWaiting}).log, logFrames), Language::English);
}

TEST_P(LogTakes, TheFirstTwoEntriesAndEveryVersion) {
  const TakeCase& c = GetParam();
  ReceiveLog log;
  TakeVersions(log, c.before);
  EXPECT_EQ(Taken(log, c.received, c.logFrames), c.taken);
  EXPECT_EQ(log.Count(), c.countAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LogTakes,
    testing::Values(
        // The frame line and the checksum line use up the count before the ACK.
        TakeCase{
            "WriteFrameUsesUpTheCount", true, 0, kWriteAccepted, {"Command Received:85,85,1,2,0,253,4,", kChecked}, 2},
        TakeCase{"WriteAckAtCountOne", true, 1, kWriteAccepted, {"Command Received:85,85,1,2,0,253,4,"}, 2},
        TakeCase{"WriteAckAfterOtherLines",
                 true,
                 0,
                 Bytes{85, 85, 1, 2, 1, 252, 4, 85, 85, 1, 2, 0, 253, 4},
                 {"Command Received:85,85,1,2,1,252,4,85,85,1,2,0,253,4,", kChecked},
                 2},
        TakeCase{"WriteAckNeedsShowMessages", false, 0, kWriteAccepted, {}, 0},
        TakeCase{"EraseAckWithoutShowMessages", false, 0, kEraseAccepted, {kEraseAck}, 1},
        TakeCase{"EraseAckAtCountOne", false, 1, kEraseAccepted, {kEraseAck}, 2},
        TakeCase{"EraseAckAtCountTwo", false, 2, kEraseAccepted, {}, 2},
        TakeCase{
            "EraseAckAfterFrameLineReachedLimit", true, 1, kEraseAccepted, {"Command Received:85,85,1,3,0,252,4,"}, 2},
        TakeCase{"VersionAlways", false, 2, kVersion11, kVersionWithoutDigits, 3},
        TakeCase{"VersionAtLimit", true, 5, kVersion11, kVersionWithoutDigits, 6},
        TakeCase{"CountSaturates", false, 0xFFFF, kVersion11, kVersionWithoutDigits, 0xFFFF},
        TakeCase{"NothingAtLimit", true, 2, kWriteAccepted, {}, 2}),
    [](const testing::TestParamInfo<TakeCase>& info) { return info.param.name; });

TEST(LogTakes, AWizardFrameOnlyWithShowMessages) {
  ReceiveLog log;
  EXPECT_EQ(Taken(log, kVersion11, false, true), Lines{});
  EXPECT_EQ(log.Count(), 0);
  EXPECT_EQ(Taken(log, kVersion11, true, true), Lines{"Update Wizard"});
  EXPECT_EQ(log.Count(), 1);
}

// A version reply whose raw positions 7..9 hold 12 34 AB, 10..12 hold 01 02 0C.
const Bytes kVersion32{85, 85, 1, 0, 2, 3, 0x12, 0x34, 0xAB, 1, 2, 12, 0xFA, 4};

TEST(LogKeepsDigits, FromTheFramesItTakes) {
  ReceiveLog log;
  EXPECT_EQ(Taken(log, kVersion32, true),
            (Lines{"Command Received:85,85,1,0,2,3,18,52,171,1,2,12,250,4,", kChecked, "Bootloader Version:3.2",
                   "OldVersion:1234AB", "RestorePoint:01020C"}));
  EXPECT_EQ(log.OldVersionHex(), "1234AB");
  EXPECT_EQ(log.RestorePointHex(), "01020C");
  // Appended, not replaced, while frames are taken.
  ReceiveLog appending;
  Taken(appending, kVersion32, true, true);
  Taken(appending, kVersion32, true, true);
  EXPECT_EQ(appending.OldVersionHex(), "1234AB1234AB");
}

TEST(LogKeepsDigits, OnlyWhileItTakesFrames) {
  ReceiveLog notLogging;
  Taken(notLogging, kVersion32, false);
  EXPECT_EQ(notLogging.OldVersionHex(), "");
  ReceiveLog full;
  TakeVersions(full, 2);
  Taken(full, kVersion32, true);
  EXPECT_EQ(full.OldVersionHex(), "");
  EXPECT_EQ(full.RestorePointHex(), "");
  ReceiveLog wizard;
  Taken(wizard, kVersion32, true, true);
  EXPECT_EQ(wizard.OldVersionHex(), "1234AB");
  // The prefix of an escaped byte is kept as a byte: 05 55 at positions 7 and 8.
  ReceiveLog escaped;
  Taken(escaped, Bytes{85, 85, 1, 0, 2, 3, 5, 0x55, 0x34, 0x99, 0x10, 0x20, 0x30, 0x78, 4}, true);
  EXPECT_EQ(escaped.OldVersionHex(), "055534");
  EXPECT_EQ(escaped.RestorePointHex(), "991020");
  // A reset forgets them.
  escaped.Reset();
  EXPECT_EQ(escaped.OldVersionHex(), "");
  EXPECT_FALSE(escaped.FirstFrame());
}

// The connect's restart check looks at the first frame the receive log took,
// as the device sent it.
struct RestartCase {
  const char* name;
  std::vector<std::uint8_t> received;
  bool logged;  // "Show Message": the log takes frames
  bool restart;
};

void PrintTo(const RestartCase& c, std::ostream* os) { *os << c.name; }

class RestartRequest : public testing::TestWithParam<RestartCase> {};

TEST_P(RestartRequest, IsTheTwoFrameBurstAtTheStartOfTheLog) {
  const RestartCase& c = GetParam();
  ReplyReceiver receiver;
  receiver.Arm();
  ReceiveLog log;
  log.Take(receiver.Feed(c.received, {}).log, c.logged);
  EXPECT_EQ(AsksToBeGreetedAgain(log), c.restart);
}

INSTANTIATE_TEST_SUITE_P(Cases, RestartRequest,
                         testing::Values(RestartCase{"TwoFramesInOneBurst", kTwoFrames.bytes, true, true},
                                         RestartCase{"ThreeFrames",
                                                     {85, 85,  1, 0,  1,  1, 253, 4, 85,  85, 1,
                                                      1,  254, 4, 85, 85, 1, 2,   0, 253, 4},
                                                     true,
                                                     true},
                                         RestartCase{"NotLogged", kTwoFrames.bytes, false, false},
                                         RestartCase{"OneFrameOnly", {85, 85, 1, 0, 1, 1, 253, 4}, true, false},
                                         RestartCase{"NothingReceived", {}, true, false}),
                         [](const testing::TestParamInfo<RestartCase>& info) { return info.param.name; });

}  // namespace
}  // namespace mx
