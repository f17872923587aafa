// The receive log as the memo shows it: the lines written for the parser's
// entries in each language, and the connect's restart check on the first
// of them.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "actions/DeviceActions.h"
#include "app/LanguageTexts.h"
#include "app/form/ReceiveDisplay.h"

namespace mx {
namespace {

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
  receiver.Feed(c.received, ReceiveOptions{c.logged, false});
  EXPECT_EQ(AsksToBeGreetedAgain(receiver), c.restart);
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
