#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "records/RecordSql.h"
#include "records/RecordStore.h"
#include "support/TempDir.h"
#include "support/TestBoard.h"

namespace mx::records {
namespace {

using Status = ReserveResult::Status;
using test::TestBoard;

// Runs one statement on the file beside the store, as another program would.
void RunSql(const std::filesystem::path& file, const char* statement) {
  sqlite3* db = nullptr;
  const std::u8string name = file.u8string();  // SQLite takes UTF-8 names
  ASSERT_EQ(sqlite3_open(reinterpret_cast<const char*>(name.c_str()), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, statement, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

// A file of the first schema as an older program left it: pool "boards" has
// given out 1 and 2, and the board that kept 1 is recorded.
void WriteFirstSchemaFile(const std::filesystem::path& file) {
  std::filesystem::create_directories(file.parent_path());
  RunSql(file, "CREATE TABLE schema_version (version INTEGER NOT NULL); INSERT INTO schema_version VALUES (1)");
  for (const char* step : sql::kSchemaVersion1) RunSql(file, step);
  RunSql(file,
         "INSERT INTO pools VALUES ('boards', 1, NULL, 3); INSERT INTO free_numbers VALUES ('boards', 2);"
         "INSERT INTO boards (station, instance, slot, port, started, ended, file, file_sha256, serial, data,"
         " old_version, restore_point, bootloader_version, result, reason, attempts, interrupted, package_id,"
         " kept_pool) VALUES ('station-0', 'old', 'a', 'COM3', '2026-12-01T08:00:00.000Z',"
         " '2026-12-01T08:00:09.000Z', 'fw.hex', 'cd34', 1, '0a', '0101', '0000', '1.0', 'ok', '', 1, 0, 'pkg-1',"
         " 'boards')");
}

class RecordStoreTest : public ::testing::Test {
 protected:
  std::unique_ptr<RecordStore> Open(const std::string& instance, const StoreOptions& options = {}) {
    OpenedStore opened = OpenRecordStore(file_.string(), {"station-1", instance}, options);
    EXPECT_NE(opened.store, nullptr) << opened.error;
    return std::move(opened.store);
  }
  std::uint64_t ReserveNumber(RecordStore& store) {
    const ReserveResult result = store.Reserve("boards");
    EXPECT_EQ(result.status, Status::Reserved) << result.message;
    return result.reservation.number;
  }

  test::TempDir dir_;
  std::filesystem::path file_ = dir_.Path() / "line" / "records.sqlite";
};

TEST_F(RecordStoreTest, CreatesTheFileAndItsFolder) {
  auto store = Open("instance-1");
  EXPECT_EQ(store->Location(), file_.string());
  EXPECT_TRUE(std::filesystem::exists(file_));
}

// The name is UTF-8 whatever the system's code page: the folder created and
// the file SQLite opens are one and the same.
TEST_F(RecordStoreTest, TakesAFolderNameBeyondAscii) {
  const std::filesystem::path file = dir_.Path() / u8"J\u00fcrgen \u5f20" / "records.sqlite";
  const std::u8string name = file.u8string();
  OpenedStore opened = OpenRecordStore(std::string(name.begin(), name.end()), {"station-1", "instance-1"});
  ASSERT_NE(opened.store, nullptr) << opened.error;
  EXPECT_TRUE(std::filesystem::exists(file));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.Path()), {}), 1);
}

TEST_F(RecordStoreTest, RefusesWhatItCannotUse) {
  Open("instance-1").reset();
  RunSql(file_, "INSERT INTO schema_version (version) VALUES (99)");
  OpenedStore newer = OpenRecordStore(file_.string(), {"station-1", "instance-1"});
  EXPECT_EQ(newer.store, nullptr);
  EXPECT_NE(newer.error.find("schema version 99 is newer"), std::string::npos) << newer.error;

  const auto text = dir_.Write("notes.sqlite", std::string(4096, 'x'));
  OpenedStore notDatabase = OpenRecordStore(text.string(), {"station-1", "instance-1"});
  EXPECT_EQ(notDatabase.store, nullptr);
  EXPECT_NE(notDatabase.error.find(text.string() + ": file is not a database"), std::string::npos) << notDatabase.error;

  EXPECT_NE(OpenRecordStore(file_.string(), {"station-1", ""}).error.find("no instance name"), std::string::npos);
  OpenedStore folder = OpenRecordStore(dir_.Path().string(), {"station-1", "instance-1"});
  EXPECT_EQ(folder.store, nullptr);
  EXPECT_NE(folder.error.find("cannot open the record database " + dir_.Path().string()), std::string::npos);
}

// Stations opening it at once upgrade it once (a second upgrade would fail
// on a column that is there), and keep what it held.
TEST_F(RecordStoreTest, UpgradesAFirstSchemaFileKeepingItsBoards) {
  WriteFirstSchemaFile(file_);
  std::vector<std::future<std::unique_ptr<RecordStore>>> opening;
  for (int station = 0; station < 4; ++station) {
    opening.push_back(
        std::async(std::launch::async, [this, station] { return Open("instance-" + std::to_string(station)); }));
  }
  std::vector<std::unique_ptr<RecordStore>> stores;
  for (auto& opened : opening) stores.push_back(opened.get());
  ASSERT_NE(stores[0], nullptr);
  const auto boards = stores[0]->Find({});
  ASSERT_EQ(boards.size(), 1u);
  EXPECT_EQ(
      std::tie(boards[0].station, boards[0].serial, boards[0].packageId, boards[0].keyId, boards[0].trustedComment),
      std::make_tuple("station-0", std::optional<std::uint64_t>(1), "pkg-1", "", ""));
  EXPECT_EQ(ReserveNumber(*stores[0]), 2u);
  EXPECT_EQ(ReserveNumber(*stores[1]), 3u);
  stores.clear();
  EXPECT_NE(Open("instance-5"), nullptr);  // already upgraded: opens as it is
}

TEST_F(RecordStoreTest, OneInstanceRunsOnceAtATime) {
  auto first = Open("instance-1");
  OpenedStore second = OpenRecordStore(file_.string(), {"station-1", "instance-1"});
  EXPECT_EQ(second.store, nullptr);
  EXPECT_NE(second.error.find("\"instance-1\" is already running"), std::string::npos) << second.error;
  first.reset();
  EXPECT_NE(Open("instance-1"), nullptr);
}

TEST_F(RecordStoreTest, PoolsKeepTheirRange) {
  auto store = Open("instance-1");
  EXPECT_EQ(store->OpenPool("boards", {1, 100}), std::nullopt);
  EXPECT_EQ(store->OpenPool("boards", {1, 100}), std::nullopt);
  const auto other = store->OpenPool("boards", {1, 50});
  ASSERT_TRUE(other);
  EXPECT_NE(other->find("1..100"), std::string::npos) << *other;
  EXPECT_NE(other->find("1..50"), std::string::npos) << *other;
  EXPECT_TRUE(store->OpenPool("boards", {1, std::nullopt}));
  EXPECT_TRUE(store->OpenPool("empty", {10, 9}));
  EXPECT_TRUE(store->OpenPool("", {1, 2}));
  EXPECT_EQ(store->OpenPool("open-ended", {5000, std::nullopt}), std::nullopt);
  EXPECT_EQ(store->Reserve("open-ended").reservation.number, 5000u);
}

TEST_F(RecordStoreTest, GivesTheLowestFreeNumberAndTakesBackFailedBoards) {
  auto store = Open("instance-1");
  ASSERT_EQ(store->OpenPool("boards", {100, 102}), std::nullopt);
  const Reservation first{"boards", ReserveNumber(*store)};
  const Reservation second{"boards", ReserveNumber(*store)};
  EXPECT_EQ(first.number, 100u);
  EXPECT_EQ(second.number, 101u);

  store->Finish(TestBoard("a", "2026-12-09T10:00:00.000Z", "port-failed"), first);
  EXPECT_EQ(ReserveNumber(*store), 100u);
  store->Finish(TestBoard("b", "2026-12-09T10:00:01.000Z"), second);
  EXPECT_EQ(ReserveNumber(*store), 102u);

  const ReserveResult exhausted = store->Reserve("boards");
  EXPECT_EQ(exhausted.status, Status::Exhausted);
  EXPECT_NE(exhausted.message.find("\"boards\" has no free number left (100..102)"), std::string::npos);
  EXPECT_EQ(store->Reserve("unknown").status, Status::Unreachable);
}

TEST_F(RecordStoreTest, FinishingTwiceRecordsOneBoard) {
  auto store = Open("instance-1");
  ASSERT_EQ(store->OpenPool("boards", {1, 10}), std::nullopt);
  const Reservation reservation{"boards", ReserveNumber(*store)};
  const BoardRecord board = TestBoard("a", "2026-12-09T10:00:00.000Z");
  store->Finish(board, reservation);
  store->Finish(board, reservation);
  const auto boards = store->Find({});
  ASSERT_EQ(boards.size(), 1u);
  EXPECT_EQ(boards[0].serial, 1u);
  EXPECT_EQ(ReserveNumber(*store), 2u);
}

TEST_F(RecordStoreTest, NoTwoPassedBoardsHoldOneNumber) {
  auto store = Open("instance-1");
  ASSERT_EQ(store->OpenPool("boards", {1, 10}), std::nullopt);
  const Reservation reservation{"boards", ReserveNumber(*store)};
  store->Finish(TestBoard("a", "2026-12-09T10:00:00.000Z"), reservation);
  EXPECT_THROW(store->Finish(TestBoard("b", "2026-12-09T10:00:01.000Z"), reservation), RecordStoreError);
  BoardRecord otherNumber = TestBoard("c", "2026-12-09T10:00:02.000Z");
  otherNumber.serial = 7;
  EXPECT_THROW(store->Finish(otherNumber, Reservation{"boards", ReserveNumber(*store)}), RecordStoreError);
  EXPECT_EQ(store->Find({}).size(), 1u);
}

TEST_F(RecordStoreTest, KeepsEveryFieldOfABoard) {
  auto store = Open("instance-1");
  BoardRecord board = TestBoard("pci-0000:00:14.0-usb-0:2:1.0", "2026-12-09T22:41:07.123Z", "port-failed");
  board.serial = 4711;
  board.data = "0011ff";
  board.oldVersion = "0102";
  board.restorePoint = "0000";
  board.bootloaderVersion = "1.2";
  board.reason = "time-out";
  board.attempts = 3;
  board.interrupted = true;
  board.packageId = "pkg-7";
  board.keyId = "E0A1B2C3D4F56789";
  board.trustedComment = "timestamp:1765400000\tfile:fw.hex";
  store->Finish(board, std::nullopt);
  const auto boards = store->Find({});
  ASSERT_EQ(boards.size(), 1u);
  const BoardRecord& read = boards[0];
  EXPECT_EQ(std::tie(read.station, read.instance, read.slot, read.port, read.started, read.ended, read.file,
                     read.fileSha256, read.serial, read.data, read.oldVersion, read.restorePoint),
            std::tie(board.station, board.instance, board.slot, board.port, board.started, board.ended, board.file,
                     board.fileSha256, board.serial, board.data, board.oldVersion, board.restorePoint));
  EXPECT_EQ(std::tie(read.bootloaderVersion, read.result, read.reason, read.attempts, read.interrupted, read.packageId,
                     read.keyId, read.trustedComment),
            std::tie(board.bootloaderVersion, board.result, board.reason, board.attempts, board.interrupted,
                     board.packageId, board.keyId, board.trustedComment));
}

TEST_F(RecordStoreTest, FindsBoardsByFilterOldestFirst) {
  auto store = Open("instance-1");
  BoardRecord late = TestBoard("a", "2026-12-09T12:00:00.000Z");
  late.serial = 3;
  store->Finish(late, std::nullopt);
  store->Finish(TestBoard("b", "2026-12-09T10:00:00.000Z", "port-failed"), std::nullopt);
  store->Finish(TestBoard("a", "2026-12-09T11:00:00.000Z"), std::nullopt);
  const std::string ten = "2026-12-09T10:00:00.000Z", eleven = "2026-12-09T11:00:00.000Z",
                    twelve = "2026-12-09T12:00:00.000Z";
  const struct {
    const char* name;
    std::function<void(RecordQuery&)> filter;
    std::vector<std::string> started;
  } cases[] = {
      {"all", [](RecordQuery&) {}, {ten, eleven, twelve}},
      {"since", [&](RecordQuery& q) { q.since = eleven; }, {eleven, twelve}},
      {"until", [&](RecordQuery& q) { q.until = eleven; }, {ten}},
      {"serial", [](RecordQuery& q) { q.serial = 3; }, {twelve}},
      {"slot", [](RecordQuery& q) { q.slot = "a"; }, {eleven, twelve}},
      {"result", [](RecordQuery& q) { q.result = "port-failed"; }, {ten}},
      {"slot and until", [&](RecordQuery& q) { q.slot = "a", q.until = twelve; }, {eleven}},
      {"nothing", [](RecordQuery& q) { q.serial = 4, q.result = kPassedResult; }, {}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> started;
    RecordQuery query;
    c.filter(query);
    for (const auto& board : store->Find(query)) started.push_back(board.started);
    EXPECT_EQ(started, c.started) << c.name;
  }
}

TEST_F(RecordStoreTest, ReservationsOfAGoneInstanceComeBack) {
  auto first = Open("instance-1");
  ASSERT_EQ(first->OpenPool("boards", {1, 10}), std::nullopt);
  EXPECT_EQ(ReserveNumber(*first), 1u);
  auto second = Open("instance-2");
  EXPECT_EQ(ReserveNumber(*second), 2u);
  first.reset();  // without Finish, as a station that stops
  EXPECT_EQ(ReserveNumber(*second), 1u);
}

TEST_F(RecordStoreTest, ReservationsOfALapsedLeaseComeBack) {
  auto first = Open("instance-1");
  ASSERT_EQ(first->OpenPool("boards", {1, 10}), std::nullopt);
  EXPECT_EQ(ReserveNumber(*first), 1u);
  EXPECT_EQ(ReserveNumber(*first), 2u);
  StoreOptions later;
  later.clock = [] { return std::chrono::system_clock::now() + std::chrono::hours(1); };
  auto second = Open("instance-2", later);
  EXPECT_EQ(ReserveNumber(*second), 1u);
  // The first instance, seen as gone, still records its boards: a failed one
  // gives back nothing it no longer holds, a passed one keeps its number.
  first->Finish(TestBoard("a", "2026-12-09T10:00:00.000Z", "port-failed"), Reservation{"boards", 1});
  first->Finish(TestBoard("b", "2026-12-09T10:00:01.000Z"), Reservation{"boards", 2});
  EXPECT_EQ(ReserveNumber(*second), 3u);
}

// A number a passed board keeps never goes back to the pool: not when the
// instance that took it over while the keeper's lease had lapsed fails its
// board, nor when that instance goes without finishing.
TEST_F(RecordStoreTest, ANumberAPassedBoardKeepsIsNeverGivenAgain) {
  StoreOptions later;
  later.clock = [] { return std::chrono::system_clock::now() + std::chrono::hours(1); };
  for (const bool takerFinishes : {true, false}) {
    auto keeper = Open("keeper");
    ASSERT_EQ(keeper->OpenPool("boards", {1, 10}), std::nullopt);
    const Reservation kept{"boards", ReserveNumber(*keeper)};
    auto taker = Open("taker", later);  // sees the keeper's lease as lapsed
    ASSERT_EQ(ReserveNumber(*taker), kept.number);
    keeper->Finish(TestBoard("a", "2026-12-09T10:00:0" + std::to_string(takerFinishes) + ".000Z"), kept);
    if (takerFinishes) {
      taker->Finish(TestBoard("b", "2026-12-09T10:00:01.000Z", "port-failed"), kept);
    } else {
      taker.reset();
    }
    EXPECT_NE(ReserveNumber(*Open("next", later)), kept.number) << "taker finishes: " << takerFinishes;
  }
}

TEST_F(RecordStoreTest, ALiveStoreRenewsItsLease) {
  // The first store's clock jumps an hour ahead; once its renewal has read
  // that time, a store living an hour ahead still sees it alive.
  std::atomic<bool> ahead = false;
  std::promise<void> renewedAhead;
  std::once_flag renewedOnce;
  const auto testThread = std::this_thread::get_id();
  StoreOptions renewing;
  renewing.leaseLength = std::chrono::minutes(10);
  renewing.renewEvery = std::chrono::milliseconds(1);
  renewing.clock = [&] {
    const auto now = std::chrono::system_clock::now();
    if (!ahead) return now;
    if (std::this_thread::get_id() != testThread) std::call_once(renewedOnce, [&] { renewedAhead.set_value(); });
    return now + std::chrono::hours(1);
  };
  auto first = Open("instance-1", renewing);
  ASSERT_EQ(first->OpenPool("boards", {1, 10}), std::nullopt);
  EXPECT_EQ(ReserveNumber(*first), 1u);
  ahead = true;
  renewedAhead.get_future().wait();
  first->Find({});  // waits for the renewal under way to be written
  StoreOptions later;
  later.clock = [] { return std::chrono::system_clock::now() + std::chrono::hours(1); };
  EXPECT_EQ(ReserveNumber(*Open("instance-2", later)), 2u);
}

}  // namespace
}  // namespace mx::records
