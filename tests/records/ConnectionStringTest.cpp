#include <gtest/gtest.h>

#include "records/RecordStore.h"

namespace mx::records {
namespace {

TEST(ConnectionStringTest, TellsServersFromFiles) {
  const struct {
    const char* location;
    bool server;
  } cases[] = {
      {"postgresql://db.line.example/records", true},
      {"postgres://station@db", true},
      {"host=db dbname=records", true},
      {"  dbname = records", true},
      {"/var/lib/mx7410/records.sqlite", false},
      {"records.sqlite", false},
      {"batch=7.sqlite", false},
      {"C:\\mx7410\\records.sqlite", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsConnectionString(c.location), c.server) << c.location;
}

TEST(ConnectionStringTest, LeavesOutPasswords) {
  const struct {
    const char* location;
    const char* shown;
  } cases[] = {
      {"postgresql://station:secret@db/records", "postgresql://station@db/records"},
      {"postgres://station:p@ss@db:5432/records", "postgres://station@db:5432/records"},
      {"postgresql://station@db:5432/records", "postgresql://station@db:5432/records"},
      {"postgresql://db/records?password=secret&sslmode=require", "postgresql://db/records?sslmode=require"},
      {"postgresql://db/records?sslmode=require&password=secret", "postgresql://db/records?sslmode=require"},
      {"host=db password=secret dbname=records", "host=db dbname=records"},
      {"host=db password = 'se cret\\' x' user=station", "host=db user=station"},
      {"password=secret", ""},
      {"/var/lib/mx7410/records.sqlite", "/var/lib/mx7410/records.sqlite"},
  };
  for (const auto& c : cases) EXPECT_EQ(WithoutPassword(c.location), c.shown) << c.location;
}

TEST(ConnectionStringTest, ServersAreRefusedWithoutTheirPassword) {
  // No server there (or no PostgreSQL in this build): why, without the password.
  for (const char* location :
       {"postgresql://station:secret@/records?host=/nonexistent", "host=/nonexistent password=secret"}) {
    const OpenedStore opened = OpenRecordStore(location, {"station-1", "instance-1"});
    EXPECT_EQ(opened.store, nullptr);
    EXPECT_NE(opened.error.find("cannot open the record database"), std::string::npos) << opened.error;
    EXPECT_EQ(opened.error.find("secret"), std::string::npos) << opened.error;
  }
}

}  // namespace
}  // namespace mx::records
