#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "records/RecordStore.h"

namespace mx::records {
namespace {

TEST(RecordPathsTest, DefaultsToTheUsersDataFolder) {
  const std::string savedData = getenv("XDG_DATA_HOME") ? getenv("XDG_DATA_HOME") : "";
  const std::string savedHome = getenv("HOME") ? getenv("HOME") : "";
  setenv("HOME", "/home/station", 1);
  setenv("XDG_DATA_HOME", "/srv/data", 1);
  EXPECT_EQ(DefaultDatabasePath(), "/srv/data/mx7410/records.sqlite");
  setenv("XDG_DATA_HOME", "relative", 1);
  EXPECT_EQ(DefaultDatabasePath(), "/home/station/.local/share/mx7410/records.sqlite");
  unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(DefaultDatabasePath(), "/home/station/.local/share/mx7410/records.sqlite");
  setenv("HOME", savedHome.c_str(), 1);
  if (!savedData.empty()) setenv("XDG_DATA_HOME", savedData.c_str(), 1);
}

}  // namespace
}  // namespace mx::records
