#include "records/SqliteRecordStore.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "records/BoardRow.h"
#include "records/PoolNumbers.h"
#include "records/RecordSql.h"
#include "records/SchemaUpgrade.h"

namespace mx::records {

namespace {

// How long a writer waits for another process's transaction to end.
constexpr int kBusyTimeoutMs = 15000;

}  // namespace

SqliteRecordStore::SqliteRecordStore(const std::string& path, const StationIdentity& who, const StoreOptions& options)
    : path_(path), who_(who), options_(options), db_(path) {
  Configure();
  PrepareSchema();
  renewer_.emplace(mutex_, options_.renewEvery, [this] { RenewLease(); });
}

SqliteRecordStore::~SqliteRecordStore() {
  renewer_.reset();
  try {
    db_.Prepare(sql::kEndLease).Bind(1, who_.instance).Run();
  } catch (const RecordStoreError&) {
    // The lease then runs out by itself.
  }
}

// Switching a new file to WAL needs it alone for a moment, and SQLite does
// not wait for that through the busy timeout: a station opening the same
// file at that instant is told "database is locked" at once. It asks again,
// for as long as a writer would wait.
void SqliteRecordStore::Configure() {
  sqlite3_busy_timeout(db_.Handle(), kBusyTimeoutMs);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
  while (sqlite3_exec(db_.Handle(), "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr) == SQLITE_BUSY &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  db_.Execute("PRAGMA journal_mode = WAL");  // a no-op once it took; else says why it did not
  db_.Execute("PRAGMA synchronous = FULL");
}

void SqliteRecordStore::PrepareSchema() {
  SqliteTransaction transaction(db_);
  db_.Execute(sql::kCreateVersionTable);
  std::int64_t version = 0;
  {
    // Done reading before the upgrade changes the tables.
    auto select = db_.Prepare(sql::kSelectVersion);
    select.Step();
    version = select.OptionalInt(0).value_or(0);
  }
  UpgradeSchema(
      version, [this](const char* step) { db_.Execute(step); },
      [this](std::int64_t reached) { db_.Prepare(sql::kInsertVersion).Bind(1, reached).Run(); });
  auto lease = db_.Prepare(sql::kSelectLease);
  if (lease.Bind(1, who_.instance).Step() && lease.Int(0) >= NowMs()) {
    throw RecordStoreError("the instance \"" + who_.instance + "\" is already running on it");
  }
  RenewLease();
  transaction.Commit();
}

std::int64_t SqliteRecordStore::NowMs() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(options_.clock().time_since_epoch()).count();
}

void SqliteRecordStore::RenewLease() {
  db_.Prepare(sql::kRenewLease)
      .Bind(1, who_.instance)
      .Bind(2, who_.station)
      .Bind(3, NowMs() + static_cast<std::int64_t>(options_.leaseLength.count()))
      .Run();
}

std::optional<std::string> SqliteRecordStore::OpenPool(const std::string& pool, const PoolRange& range) {
  if (auto problem = PoolProblem(pool, range)) return problem;
  std::lock_guard lock(mutex_);
  try {
    SqliteTransaction transaction(db_);
    auto select = db_.Prepare(sql::kSelectPool);
    if (select.Bind(1, pool).Step()) {
      const PoolRange stored{static_cast<std::uint64_t>(select.Int(0)), select.OptionalInt(1)};
      return RangeMismatch(pool, stored, range, path_);
    }
    const auto last = range.last ? std::optional<std::int64_t>(StoredNumber(*range.last)) : std::nullopt;
    db_.Prepare(sql::kInsertPool).Bind(1, pool).Bind(2, StoredNumber(range.first)).Bind(3, last).Run();
    transaction.Commit();
    return std::nullopt;
  } catch (const RecordStoreError& error) {
    return "cannot open pool \"" + pool + "\" in " + path_ + ": " + error.what();
  }
}

ReserveResult SqliteRecordStore::Reserve(const std::string& pool) {
  std::lock_guard lock(mutex_);
  try {
    return ReserveLowest(pool);
  } catch (const RecordStoreError& error) {
    return {ReserveResult::Status::Unreachable,
            {},
            "cannot reserve a number of pool \"" + pool + "\" in " + path_ + ": " + error.what()};
  }
}

ReserveResult SqliteRecordStore::ReserveLowest(const std::string& pool) {
  SqliteTransaction transaction(db_);
  auto select = db_.Prepare(sql::kSelectPool);
  if (!select.Bind(1, pool).Step()) throw RecordStoreError("there is no such pool");
  const std::int64_t last = select.OptionalInt(1).value_or(kHighestNumber);
  const std::int64_t next = select.Int(2);
  RenewLease();
  // One moment for both: a lease that lapsed between them would lose its number.
  const std::int64_t now = NowMs();
  db_.Prepare(sql::kGiveBackLapsedReservations).Bind(1, now).Run();
  db_.Prepare(sql::kDeleteLapsedReservations).Bind(1, now).Run();
  std::optional<std::int64_t> number = TakeLowestFreeNumber(pool);
  if (!number && next <= last) {
    number = next;
    db_.Prepare(sql::kAdvancePool).Bind(1, pool).Run();
  }
  if (!number) {
    return {ReserveResult::Status::Exhausted,
            {},
            "pool \"" + pool + "\" has no free number left (" + std::to_string(select.Int(0)) + ".." +
                std::to_string(last) + ")"};
  }
  db_.Prepare(sql::kInsertReservation).Bind(1, pool).Bind(2, *number).Bind(3, who_.instance).Run();
  transaction.Commit();
  return {ReserveResult::Status::Reserved, {pool, static_cast<std::uint64_t>(*number)}, {}};
}

std::optional<std::int64_t> SqliteRecordStore::TakeLowestFreeNumber(const std::string& pool) {
  auto lowest = db_.Prepare(sql::kLowestFreeNumber);
  lowest.Bind(1, pool).Step();
  const auto number = lowest.OptionalInt(0);
  if (number) db_.Prepare(sql::kDeleteFreeNumber).Bind(1, pool).Bind(2, *number).Run();
  return number;
}

void SqliteRecordStore::Finish(const BoardRecord& record, const std::optional<Reservation>& reservation) {
  const bool keeps = KeepsNumber(record, reservation);
  std::lock_guard lock(mutex_);
  try {
    SqliteTransaction transaction(db_);
    // A board recorded before has settled its reservation then.
    if (InsertBoard(record, keeps ? reservation : std::nullopt) && reservation) Settle(*reservation, keeps);
    transaction.Commit();
  } catch (const RecordStoreError& error) {
    throw RecordStoreError("cannot record the board of slot " + record.slot + " in " + path_ + ": " + error.what());
  }
}

void SqliteRecordStore::SettleCount(const Reservation& reservation, bool keep) {
  std::lock_guard lock(mutex_);
  try {
    SqliteTransaction transaction(db_);
    Settle(reservation, keep);
    transaction.Commit();
  } catch (const RecordStoreError& error) {
    throw RecordStoreError("cannot settle number " + std::to_string(reservation.number) + " of pool \"" +
                           reservation.pool + "\" in " + path_ + ": " + error.what());
  }
}

void SqliteRecordStore::Settle(const Reservation& reservation, bool keeps) {
  const std::int64_t number = StoredNumber(reservation.number);
  auto release = db_.Prepare(sql::kDeleteReservation);
  release.Bind(1, reservation.pool).Bind(2, number).Bind(3, who_.instance).Run();
  if (keeps) {
    // Given back while this instance's lease had lapsed: the board holds it now.
    db_.Prepare(sql::kDeleteFreeNumber).Bind(1, reservation.pool).Bind(2, number).Run();
  } else if (release.Changes() > 0) {
    db_.Prepare(sql::kInsertFreeNumber).Bind(1, reservation.pool).Bind(2, number).Run();
  }
}

bool SqliteRecordStore::InsertBoard(const BoardRecord& record, const std::optional<Reservation>& kept) {
  auto insert = db_.Prepare(sql::kInsertBoard);
  BindBoard(record, RecordedNumber(record, kept),
            [&insert](int index, const auto& value) { insert.Bind(index, value); });
  insert.Bind(kKeptPoolParameter, kept ? std::optional<std::string>(kept->pool) : std::nullopt).Run();
  return insert.Changes() > 0;
}

std::vector<BoardRecord> SqliteRecordStore::Find(const RecordQuery& query) {
  std::string text = sql::kSelectBoards;
  if (query.since) text += sql::kSinceCondition;
  if (query.until) text += sql::kUntilCondition;
  if (query.serial) text += sql::kSerialCondition;
  if (query.slot) text += sql::kSlotCondition;
  if (query.result) text += sql::kResultCondition;
  text += sql::kOldestFirst;
  std::lock_guard lock(mutex_);
  try {
    auto select = db_.Prepare(text.c_str());
    if (query.since) select.Bind(1, *query.since);
    if (query.until) select.Bind(2, *query.until);
    if (query.serial) select.Bind(3, StoredNumber(*query.serial));
    if (query.slot) select.Bind(4, *query.slot);
    if (query.result) select.Bind(5, *query.result);
    std::vector<BoardRecord> boards;
    while (select.Step()) boards.push_back(ReadBoardRow(select));
    return boards;
  } catch (const RecordStoreError& error) {
    throw RecordStoreError("cannot read the boards in " + path_ + ": " + error.what());
  }
}

}  // namespace mx::records
