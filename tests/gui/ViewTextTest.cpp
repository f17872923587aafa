#include <gtest/gtest.h>

#include <QRegularExpression>
#include <ostream>
#include <string>

#include "app/qt/ViewText.h"

namespace mx {
namespace {

struct FilterCase {
  const char* name;
  const char* formFilter;
  const char* qtFilter;
};

void PrintTo(const FilterCase& filter, std::ostream* out) { *out << filter.name; }

class QtFileFilterTest : public ::testing::TestWithParam<FilterCase> {};

TEST_P(QtFileFilterTest, ConvertsNamePatternPairs) {
  EXPECT_EQ(QtFileFilter(GetParam().formFilter), QString::fromUtf8(GetParam().qtFilter));
}

INSTANTIATE_TEST_SUITE_P(
    Filters, QtFileFilterTest,
    ::testing::Values(FilterCase{"VersionFilter", "hex Files|*U0102.03*.hex|All Files|*.*",
                                 "hex Files (*[Uu]0102.03*.[Hh][Ee][Xx]);;All Files (*)"},
                      FilterCase{"EmptyVersion", "hex Files|*U.*.hex|All Files|*.*",
                                 "hex Files (*[Uu].*.[Hh][Ee][Xx]);;All Files (*)"},
                      FilterCase{"TwoPatterns", "Firmware|*.hex;*.a90", "Firmware (*.[Hh][Ee][Xx] *.[Aa]90)"},
                      FilterCase{"NoName", "|*.hex", "(*.[Hh][Ee][Xx])"},
                      FilterCase{"NameWithoutPattern", "dangling name", ""}, FilterCase{"Empty", "", ""}),
    [](const ::testing::TestParamInfo<FilterCase>& info) { return std::string(info.param.name); });

// As a file dialog matches its patterns.
bool Matches(const QString& pattern, const QString& name) {
  return QRegularExpression(QRegularExpression::wildcardToRegularExpression(HomePlatformPattern(pattern)))
      .match(name)
      .hasMatch();
}

TEST(HomePlatformPatternTest, MatchesWithoutCaseAndAllFilesWithoutADot) {
  EXPECT_TRUE(Matches(QStringLiteral("*U0102.03*.hex"), QStringLiteral("FW_U0102.03A.HEX")));
  EXPECT_TRUE(Matches(QStringLiteral("*U0102.03*.hex"), QStringLiteral("fw_u0102.03a.hex")));
  EXPECT_FALSE(Matches(QStringLiteral("*U0102.03*.hex"), QStringLiteral("FW_U0102.04A.HEX")));
  EXPECT_TRUE(Matches(QStringLiteral("*.*"), QStringLiteral("README")));
  EXPECT_TRUE(Matches(QStringLiteral("*.*"), QStringLiteral("image.hex")));
}

TEST(MemoTextTest, CrLfLinesShowAsLinesAndComeBackWithCrLf) {
  const std::string formText = "Command Received:85,85,\r\nBootloader Version:1.1\r\n";
  const QString shown = MemoDisplayText(formText);
  EXPECT_EQ(shown, QStringLiteral("Command Received:85,85,\nBootloader Version:1.1\n"));
  EXPECT_EQ(MemoFormText(shown), formText);
}

TEST(MemoTextTest, KeepsUtf8Text) {
  const std::string formText = "指令就緒 :OK\r\n";
  EXPECT_EQ(MemoFormText(MemoDisplayText(formText)), formText);
}

TEST(PlainCaptionTest, AmpersandIsShownNotTakenAsShortcut) {
  EXPECT_EQ(PlainCaption("Save & Exit"), QStringLiteral("Save && Exit"));
  EXPECT_EQ(PlainCaption("Connect"), QStringLiteral("Connect"));
}

}  // namespace
}  // namespace mx
