// A board's slot: the physical connector of its port where the system names
// one, else the port's own name.

#include <gtest/gtest.h>

#include "ConnectorName.h"
#include "support/TempDir.h"

namespace mx::flash {
namespace {

TEST(ConnectorName, IsThePortsNameWhereTheSystemNamesNoConnector) {
  const test::TempDir dir;
  const std::string pseudoTerminal = (dir.Path() / "sim0").string();  // no udev link, no location path
  EXPECT_EQ(ConnectorName(pseudoTerminal, "sim0"), "sim0");
  EXPECT_EQ(ConnectorName("COM250", "COM250"), "COM250");
  EXPECT_EQ(LinkNameIn((dir.Path() / "by-path").string(), pseudoTerminal), "");  // no such folder
}

}  // namespace
}  // namespace mx::flash
