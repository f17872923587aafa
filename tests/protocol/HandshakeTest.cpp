// The restart check of the connect step, computed from the first receive log
// line as the parser wrote it, in each language's layout.

#include <gtest/gtest.h>

#include <string>

#include "protocol/Handshake.h"

namespace mx {
namespace {

struct RestartCase {
  const char* name;
  std::string firstLogLine;
  std::size_t bytesStart;
  bool restart;
};

void PrintTo(const RestartCase& c, std::ostream* os) { *os << c.name; }

class RestartCheck : public testing::TestWithParam<RestartCase> {};

TEST_P(RestartCheck, FindsThePatternWhereTheLanguagePutsTheBytes) {
  EXPECT_EQ(AsksToBeGreetedAgain(GetParam().firstLogLine, GetParam().bytesStart), GetParam().restart);
}

const std::string kPattern(kRestartPattern);
const std::string kChinesePrefix = "指令就緒 ";  // ends with a blank

INSTANTIATE_TEST_SUITE_P(
    Cases, RestartCheck,
    testing::Values(RestartCase{"English", "Command Received:" + kPattern, 17, true},
                    RestartCase{"EnglishWithMoreFrames", "Command Received:" + kPattern + "85,85,1,2,0,253,4,", 17,
                                true},
                    RestartCase{"Chinese", kChinesePrefix + ":" + kPattern, kChinesePrefix.size() + 1, true},
                    RestartCase{"ChineseAtTheEnglishPlace", kChinesePrefix + ":" + kPattern, 17, false},
                    // Restore mode logs with its own prefix, so the bytes stand elsewhere.
                    RestartCase{"RestorePrefix", "Restore:" + kPattern, 17, false},
                    RestartCase{"NoLanguageTexts", ":" + kPattern, 17, false},
                    RestartCase{"OneFrameOnly", "Command Received:85,85,1,0,1,1,253,4,", 17, false},
                    // "Show Message" unchecked, or the wizard's line: no byte list.
                    RestartCase{"NothingLogged", "", 17, false}, RestartCase{"WizardLine", "Update Wizard", 17, false}),
    [](const testing::TestParamInfo<RestartCase>& info) { return info.param.name; });

}  // namespace
}  // namespace mx
