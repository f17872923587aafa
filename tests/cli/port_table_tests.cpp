// The live table of a station or a gang: a row per port.

#include <gtest/gtest.h>

#include "PortTable.h"

namespace mx::flash {
namespace {

TEST(PortTable, ShowsAStateWholeWhenNoProgressStandsBesideIt) {
  const std::string waiting = PortTableLine({"ttyUSB0", "waiting for the number pool", {}}, 7, 20, 80);
  EXPECT_NE(waiting.find("ttyUSB0  waiting for the number pool"), std::string::npos) << waiting;
  const std::string narrow = PortTableLine({"ttyUSB0", "waiting for the number pool", {}}, 7, 20, 24);
  EXPECT_EQ(narrow.size(), 23u);  // still within the terminal
}

}  // namespace
}  // namespace mx::flash
