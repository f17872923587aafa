// The store on a PostgreSQL server shared by several stations: numbers never
// given twice, an older schema upgraded and a newer one refused, an older
// program's spool sent, and passwords never shown.

#include <sqlite3.h>

#include <filesystem>
#include <future>
#include <set>

#include "PostgresStoreFixture.h"
#include "records/RecordSpool.h"
#include "records/RecordSql.h"

namespace mx::records {
namespace {

TEST_F(PostgresStoreTest, TwoStationsReservingAtOnceNeverShareANumber) {
  auto first = Open("first");
  auto second = Open("second");
  ASSERT_EQ(first->OpenPool("boards", {1, std::nullopt}), std::nullopt);
  ASSERT_EQ(second->OpenPool("boards", {1, std::nullopt}), std::nullopt);
  std::promise<void> go;
  std::shared_future<void> started = go.get_future().share();
  auto reserveMany = [this, started](RecordStore& store) {
    started.wait();
    std::vector<std::uint64_t> numbers;
    for (int turn = 0; turn < 40; ++turn) numbers.push_back(ReserveNumber(store));
    return numbers;
  };
  auto a = std::async(std::launch::async, reserveMany, std::ref(*first));
  auto b = std::async(std::launch::async, reserveMany, std::ref(*second));
  go.set_value();
  std::set<std::uint64_t> all;
  for (auto number : a.get()) all.insert(number);
  for (auto number : b.get()) all.insert(number);
  EXPECT_EQ(all.size(), 80u);
  EXPECT_EQ(*all.rbegin(), 80u);
}

// Stations opening a database of the first schema at once upgrade it once
// (a second upgrade would fail on a column that is there), and keep its boards.
TEST_F(PostgresStoreTest, AFirstSchemaDatabaseIsUpgradedOnceKeepingItsBoards) {
  Admin("SET search_path TO " + schema_);
  Admin("CREATE TABLE schema_version (version INTEGER NOT NULL); INSERT INTO schema_version VALUES (1)");
  for (const char* step : sql::kSchemaVersion1) Admin(step);
  Admin(
      "INSERT INTO pools VALUES ('boards', 1, NULL, 2);"
      "INSERT INTO boards (station, instance, slot, port, started, ended, file, file_sha256, serial, data,"
      " old_version, restore_point, bootloader_version, result, reason, attempts, interrupted, package_id,"
      " kept_pool) VALUES ('station-0', 'old', 'a', 'COM3', '2026-12-01T08:00:00.000Z', '2026-12-01T08:00:09.000Z',"
      " 'fw.hex', 'cd34', 1, NULL, '0101', '0000', '1.0', 'ok', '', 1, 0, 'pkg-1', 'boards')");
  std::vector<std::future<std::unique_ptr<RecordStore>>> opening;
  for (const char* instance : {"first", "second", "third"}) {
    opening.push_back(std::async(std::launch::async, [this, instance] { return Open(instance); }));
  }
  std::vector<std::unique_ptr<RecordStore>> stores;
  for (auto& opened : opening) stores.push_back(opened.get());
  ASSERT_NE(stores[0], nullptr);
  const auto boards = stores[0]->Find({});
  ASSERT_EQ(boards.size(), 1u);
  EXPECT_EQ(std::tie(boards[0].station, boards[0].serial, boards[0].packageId, boards[0].keyId),
            std::make_tuple("station-0", std::optional<std::uint64_t>(1), "pkg-1", ""));
  EXPECT_EQ(ReserveNumber(*stores[0]), 2u);
  EXPECT_EQ(Admin("SELECT MAX(version) FROM schema_version"), std::to_string(sql::kSchemaVersion));
}

// A spool an older program left while the server was away: its board is
// sent when the next store opens, and nothing is lost.
TEST_F(PostgresStoreTest, AnOlderProgramsSpoolIsSent) {
  const std::string spool = SpoolPathFor(location_);
  std::filesystem::create_directories(std::filesystem::path(spool).parent_path());
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(spool.c_str(), &db), SQLITE_OK);
  const char* older =
      "CREATE TABLE spooled_boards (id INTEGER PRIMARY KEY AUTOINCREMENT, station TEXT NOT NULL,"
      " instance TEXT NOT NULL, slot TEXT NOT NULL, port TEXT NOT NULL, started TEXT NOT NULL, ended TEXT NOT NULL,"
      " file TEXT NOT NULL, file_sha256 TEXT NOT NULL, serial INTEGER, data TEXT, old_version TEXT NOT NULL,"
      " restore_point TEXT NOT NULL, bootloader_version TEXT NOT NULL, result TEXT NOT NULL, reason TEXT NOT NULL,"
      " attempts INTEGER NOT NULL, interrupted INTEGER NOT NULL, package_id TEXT NOT NULL, reserved_pool TEXT,"
      " reserved_number INTEGER, holder TEXT NOT NULL, refused_because TEXT);"
      "INSERT INTO spooled_boards (station, instance, slot, port, started, ended, file, file_sha256, old_version,"
      " restore_point, bootloader_version, result, reason, attempts, interrupted, package_id, holder) VALUES"
      " ('station-0', 'old', 'a', 'COM3', '2026-12-01T08:00:00.000Z', '2026-12-01T08:00:09.000Z', 'fw.hex', 'cd34',"
      " '', '', '', 'device-failed', 'no answer', 1, 0, '', 'old')";
  EXPECT_EQ(sqlite3_exec(db, older, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
  const auto boards = Open("line-1")->Find({});
  ASSERT_EQ(boards.size(), 1u);
  EXPECT_EQ(boards[0].reason, "no answer");
  EXPECT_EQ(Open("line-2")->Find({}).size(), 1u);  // sent once
}

TEST_F(PostgresStoreTest, ANewerSchemaIsRefused) {
  Open("first").reset();
  Admin("INSERT INTO " + schema_ + ".schema_version (version) VALUES (99)");
  const OpenedStore opened = OpenRecordStore(location_, {"station-1", "second"});
  EXPECT_EQ(opened.store, nullptr);
  EXPECT_NE(opened.error.find("schema version 99 is newer"), std::string::npos) << opened.error;
}

TEST_F(PostgresStoreTest, APasswordIsNeverShown) {
  const std::string secret = "Secr3tPw";
  OpenedStore opened = OpenRecordStore(location_ + " password=" + secret, {"station-1", "key-value"});
  ASSERT_NE(opened.store, nullptr) << opened.error;
  EXPECT_EQ(opened.store->Location().find(secret), std::string::npos) << opened.store->Location();
  EXPECT_NE(opened.store->Location().find("user=mx"), std::string::npos);

  const std::string hostAndPort = "host=" + ServerValue("host") + "&port=" + ServerValue("port");
  for (const std::string& location : {"postgresql://mx:" + secret + "@/no_such_database?" + hostAndPort,
                                      "host=/nonexistent user=mx password=" + secret + " dbname=mx_test",
                                      "postgresql://mx:" + secret + "@/mx_test?host=/nonexistent&password=" + secret}) {
    const OpenedStore failed = OpenRecordStore(location, {"station-1", "failing"});
    EXPECT_EQ(failed.store, nullptr);
    EXPECT_FALSE(failed.error.empty());
    EXPECT_EQ(failed.error.find(secret), std::string::npos) << failed.error;
  }
}

}  // namespace
}  // namespace mx::records
