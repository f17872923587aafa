// The store on a PostgreSQL server shared by several stations: numbers never
// given twice, a gone station's numbers given back, a lost server's boards
// kept and sent once, and passwords never shown.

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <future>
#include <set>
#include <thread>

#include "records/RecordSpool.h"
#include "records/RecordSql.h"
#include "records/RecordStore.h"
#include "support/TempDir.h"
#include "support/TestBoard.h"

namespace mx::records {
namespace {

using Status = ReserveResult::Status;
using test::TestBoard;

// Runs the server's script: "pause" or "resume".
void Server(const char* action) {
  char command[1024];
  std::snprintf(command, sizeof command, MX_PG_TEST_SERVER, action);
  ASSERT_EQ(std::system(command), 0) << command;
}

// Each test has a schema of its own on the shared server, and its spools
// in a folder of its own.
class PostgresStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* server = std::getenv("MX_PG_TEST_DB");
    ASSERT_NE(server, nullptr) << "MX_PG_TEST_DB names the test server";
    server_ = server;
    schema_ = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::transform(schema_.begin(), schema_.end(), schema_.begin(), ::tolower);
    admin_ = PQconnectdb(server_.c_str());
    ASSERT_EQ(PQstatus(admin_), CONNECTION_OK) << PQerrorMessage(admin_);
    Admin("DROP SCHEMA IF EXISTS " + schema_ + " CASCADE");
    Admin("CREATE SCHEMA " + schema_);
    location_ = server_ + " options='-csearch_path=" + schema_ + "'";
    setenv("XDG_DATA_HOME", dataHome_.Path().c_str(), 1);
  }
  void TearDown() override { PQfinish(admin_); }

  // A statement on an administrator's session of its own; the first value.
  std::string Admin(const std::string& statement) {
    if (PQstatus(admin_) != CONNECTION_OK) PQreset(admin_);
    PGresult* result = PQexec(admin_, statement.c_str());
    const ExecStatusType status = PQresultStatus(result);
    EXPECT_TRUE(status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) << statement << ": " << PQerrorMessage(admin_);
    const std::string value = PQntuples(result) > 0 ? PQgetvalue(result, 0, 0) : "";
    PQclear(result);
    return value;
  }
  // A value of the test server's connection string.
  std::string ServerValue(const std::string& key) const {
    std::string value;
    PQconninfoOption* options = PQconninfoParse(server_.c_str(), nullptr);
    for (PQconninfoOption* option = options; option && option->keyword; ++option) {
      if (key == option->keyword && option->val) value = option->val;
    }
    PQconninfoFree(options);
    return value;
  }
  std::unique_ptr<RecordStore> Open(const std::string& instance, const StoreOptions& options = {}) {
    OpenedStore opened = OpenRecordStore(location_, {"station-1", instance}, options);
    EXPECT_NE(opened.store, nullptr) << opened.error;
    return std::move(opened.store);
  }
  std::uint64_t ReserveNumber(RecordStore& store) {
    const ReserveResult result = store.Reserve("boards");
    EXPECT_EQ(result.status, Status::Reserved) << result.message;
    return result.reservation.number;
  }

  std::string server_;
  std::string schema_;
  std::string location_;
  PGconn* admin_ = nullptr;
  test::TempDir dataHome_;
};

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

TEST_F(PostgresStoreTest, AKilledStationsNumberComesBackAndALiveOnesNever) {
  Open("setup")->OpenPool("boards", {1, std::nullopt});
  int numbers[2];
  int hold[2];
  ASSERT_EQ(pipe(numbers), 0);
  ASSERT_EQ(pipe(hold), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Reserves, says which number, and holds it until killed.
    OpenedStore opened = OpenRecordStore(location_, {"station-2", "child"});
    const std::uint64_t number = opened.store ? opened.store->Reserve("boards").reservation.number : 0;
    (void)!write(numbers[1], &number, sizeof number);
    char never;
    (void)!read(hold[0], &never, 1);
    _exit(0);
  }
  std::uint64_t held = 0;
  ASSERT_EQ(read(numbers[0], &held, sizeof held), static_cast<ssize_t>(sizeof held));
  ASSERT_EQ(held, 1u);

  // Its lease looks lapsed from an hour ahead; its session still holds its
  // lock. (A short lease here: the fresh server's grace after its start.)
  StoreOptions later;
  later.clock = [] { return std::chrono::system_clock::now() + std::chrono::hours(1); };
  later.leaseLength = std::chrono::milliseconds(1);
  auto store = Open("parent", later);
  EXPECT_EQ(ReserveNumber(*store), 2u);

  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  // The server has ended the child's session once its lock can be taken.
  Admin("SELECT pg_advisory_lock(7410, hashtext('child'))");
  Admin("SELECT pg_advisory_unlock(7410, hashtext('child'))");
  EXPECT_EQ(ReserveNumber(*store), 1u);
  close(numbers[0]);
  close(numbers[1]);
  close(hold[0]);
  close(hold[1]);
}

TEST_F(PostgresStoreTest, ABoardFinishedWhileTheServerIsDownArrivesOnceWhenItIsBack) {
  auto store = Open("line-1");
  ASSERT_EQ(store->OpenPool("boards", {1, std::nullopt}), std::nullopt);
  const std::uint64_t number = ReserveNumber(*store);
  BoardRecord board = TestBoard("a");
  board.serial = number;
  board.keyId = "E0A1B2C3D4F56789";
  board.trustedComment = "timestamp:1765400000";

  Server("pause");
  const ReserveResult refused = store->Reserve("boards");
  EXPECT_EQ(refused.status, Status::Unreachable);
  EXPECT_NE(refused.message.find("cannot be reached"), std::string::npos) << refused.message;
  EXPECT_NO_THROW(store->Finish(board, Reservation{"boards", number}));
  EXPECT_NO_THROW(store->Finish(TestBoard("b", "2026-12-09T10:00:00.000Z", "port-failed"), std::nullopt));
  EXPECT_THROW(store->Find({}), RecordStoreError);
  Server("resume");

  // Sent in order on the next call; a repeated commit records nothing more.
  const auto boards = store->Find({});
  ASSERT_EQ(boards.size(), 2u);
  EXPECT_EQ(boards[0].slot, "a");
  EXPECT_EQ(boards[0].serial, number);
  EXPECT_EQ(std::tie(boards[0].keyId, boards[0].trustedComment), std::tie(board.keyId, board.trustedComment));
  store->Finish(board, Reservation{"boards", number});
  EXPECT_EQ(store->Find({}).size(), 2u);
  EXPECT_EQ(ReserveNumber(*store), number + 1);
}

TEST_F(PostgresStoreTest, AfterARestartAStationHasALeaseLongToComeBack) {
  StoreOptions quiet;
  quiet.renewEvery = std::chrono::hours(1);
  auto away = Open("away", quiet);
  ASSERT_EQ(away->OpenPool("boards", {1, std::nullopt}), std::nullopt);
  ASSERT_EQ(ReserveNumber(*away), 1u);
  Server("pause");
  Server("resume");
  // Its session is gone and, an hour ahead, its lease too; but the server
  // has not been up for a lease's length.
  StoreOptions later;
  later.clock = [] { return std::chrono::system_clock::now() + std::chrono::hours(1); };
  later.leaseLength = std::chrono::minutes(10);
  EXPECT_EQ(ReserveNumber(*Open("other", later)), 2u);
}

TEST_F(PostgresStoreTest, TheSpoolIsSentWhenTheNextStoreOpens) {
  auto store = Open("line-1");
  Server("pause");
  store->Finish(TestBoard("a", "2026-12-09T10:00:00.000Z", "port-failed"), std::nullopt);
  store.reset();
  Server("resume");
  EXPECT_EQ(Open("line-2")->Find({}).size(), 1u);
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
