#include "records/PostgresRecordStore.h"

#include <algorithm>

#include "records/BoardRow.h"
#include "records/PoolNumbers.h"
#include "records/RecordSql.h"
#include "records/SchemaUpgrade.h"

namespace mx::records {

namespace {

// The first key of every advisory lock this program takes; the second is 0
// for the pools, 1 for the schema, and an instance's hashed name for it.
constexpr const char* kTakePoolsLock = "SELECT pg_advisory_xact_lock(7410, 0)";
constexpr const char* kTakeSchemaLock = "SELECT pg_advisory_xact_lock(7410, 1)";
constexpr const char* kTryInstanceLock = "SELECT pg_try_advisory_lock(7410, hashtext(?1))";

// Gone: no fresh lease (?1 is now), no session holding the instance's lock,
// and the server up for longer than a lease (?2 ms), so that after a restart
// every live station has had the time to come back.
constexpr const char* kGoneInstance =
    " r.instance NOT IN (SELECT instance FROM instances WHERE lease_until >= ?1) AND NOT EXISTS (SELECT 1"
    " FROM pg_locks l WHERE l.locktype = 'advisory' AND l.granted AND l.classid = 7410 AND l.objsubid = 2"
    " AND l.objid = hashtext(r.instance)::oid"
    " AND l.database = (SELECT oid FROM pg_database WHERE datname = current_database()))"
    " AND clock_timestamp() - pg_postmaster_start_time() > ?2 * interval '1 millisecond'";
const std::string kGiveBackGoneReservations =
    std::string("INSERT INTO free_numbers (pool, number) SELECT r.pool, r.number FROM reservations r WHERE") +
    kGoneInstance + " AND" + sql::kNotKept;
const std::string kDeleteGoneReservations = std::string("DELETE FROM reservations r WHERE") + kGoneInstance;

// Sends one spooled entry, then forgets it. One the server refuses (its
// number is another's) stays in the spool with the reason, for the
// operator, and blocks no later one. Throws PostgresUnreachable.
void SendOrSetAside(const std::function<void()>& send, const std::function<void(const std::string&)>& setAside,
                    const std::function<void()>& forget) {
  try {
    send();
  } catch (const PostgresUnreachable&) {
    throw;
  } catch (const RecordStoreError& error) {
    setAside(error.what());
    return;
  }
  forget();
}

std::string NotReached(const std::string& location, const std::string& detail) {
  return "the record server " + location + " cannot be reached: " + detail;
}

}  // namespace

PostgresRecordStore::PostgresRecordStore(const std::string& location, const StationIdentity& who,
                                         const StoreOptions& options, const std::string& spoolPath)
    : shownLocation_(WithoutPassword(location)),
      who_(who),
      options_(options),
      connection_(location),
      spool_(spoolPath) {
  connection_.EnsureConnected();
  PrepareSchema();
  TakeInstanceLock();
  if (!instanceLocked_) throw RecordStoreError("the instance \"" + who_.instance + "\" is already running on it");
  RenewLease();
  SendSpool();
  renewer_.emplace(mutex_, options_.renewEvery, [this] { Refresh(); });
}

PostgresRecordStore::~PostgresRecordStore() {
  renewer_.reset();
  try {
    if (!connection_.Connected()) return;
    // A place kept while the server was away reaches it before the lease
    // ends: after that, this instance's reservations are anyone's.
    SendSpool();
    connection_.Run(sql::kEndLease, PgParameters().Add(who_.instance));
  } catch (const RecordStoreError&) {
    // The lease then runs out by itself.
  }
}

void PostgresRecordStore::PrepareSchema() {
  PgTransaction transaction(connection_);
  connection_.Run(kTakeSchemaLock);
  connection_.Run(sql::kCreateVersionTable);
  auto select = connection_.Run(sql::kSelectVersion);
  select.Step();
  const std::int64_t version = select.OptionalInt(0).value_or(0);
  UpgradeSchema(
      version, [this](const char* step) { connection_.Run(step); },
      [this](std::int64_t reached) { connection_.Run(sql::kInsertVersion, PgParameters().Add(reached)); });
  transaction.Commit();
}

void PostgresRecordStore::TakeInstanceLock() {
  auto taken = connection_.Run(kTryInstanceLock, PgParameters().Add(who_.instance));
  instanceLocked_ = taken.Step() && taken.Text(0) == "t";
}

std::int64_t PostgresRecordStore::NowMs() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(options_.clock().time_since_epoch()).count();
}

void PostgresRecordStore::RenewLease() {
  connection_.Run(sql::kRenewLease, PgParameters()
                                        .Add(who_.instance)
                                        .Add(who_.station)
                                        .Add(NowMs() + static_cast<std::int64_t>(options_.leaseLength.count())));
}

void PostgresRecordStore::Refresh() {
  // A new session holds no lock yet; the lease has kept the reservations.
  if (connection_.EnsureConnected()) instanceLocked_ = false;
  if (!instanceLocked_) TakeInstanceLock();
  RenewLease();
  SendSpool();
}

std::optional<std::string> PostgresRecordStore::OpenPool(const std::string& pool, const PoolRange& range) {
  if (auto problem = PoolProblem(pool, range)) return problem;
  std::lock_guard lock(mutex_);
  try {
    Refresh();
    PgTransaction transaction(connection_);
    connection_.Run(kTakePoolsLock);
    auto select = connection_.Run(sql::kSelectPool, PgParameters().Add(pool));
    if (select.Step()) {
      const PoolRange stored{static_cast<std::uint64_t>(select.Int(0)),
                             select.IsNull(1) ? std::nullopt : std::optional<std::uint64_t>(select.Int(1))};
      return RangeMismatch(pool, stored, range, shownLocation_);
    }
    const auto last = range.last ? std::optional<std::int64_t>(StoredNumber(*range.last)) : std::nullopt;
    connection_.Run(sql::kInsertPool, PgParameters().Add(pool).Add(StoredNumber(range.first)).Add(last));
    transaction.Commit();
    return std::nullopt;
  } catch (const RecordStoreError& error) {
    return "cannot open pool \"" + pool + "\" in " + shownLocation_ + ": " + error.what();
  }
}

ReserveResult PostgresRecordStore::Reserve(const std::string& pool) {
  std::lock_guard lock(mutex_);
  for (int attempt = 0;; ++attempt) {
    try {
      Refresh();
      return ReserveLowest(pool);
    } catch (const PostgresUnreachable& error) {
      // A first failure may be a server that restarted: one new session.
      if (attempt == 0) continue;
      return {ReserveResult::Status::Unreachable,
              {},
              NotReached(shownLocation_, error.what()) + "; boards that need a number wait until it is back"};
    } catch (const RecordStoreError& error) {
      return {ReserveResult::Status::Unreachable,
              {},
              "cannot reserve a number of pool \"" + pool + "\" in " + shownLocation_ + ": " + error.what()};
    }
  }
}

ReserveResult PostgresRecordStore::ReserveLowest(const std::string& pool) {
  PgTransaction transaction(connection_);
  connection_.Run(kTakePoolsLock);
  auto select = connection_.Run(sql::kSelectPool, PgParameters().Add(pool));
  if (!select.Step()) throw RecordStoreError("there is no such pool");
  const std::int64_t last = select.OptionalInt(1).value_or(kHighestNumber);
  const std::int64_t next = select.Int(2);
  const std::int64_t now = NowMs();
  const std::int64_t leaseMs = options_.leaseLength.count();
  connection_.Run(kGiveBackGoneReservations, PgParameters().Add(now).Add(leaseMs));
  connection_.Run(kDeleteGoneReservations, PgParameters().Add(now).Add(leaseMs));
  auto lowest = connection_.Run(sql::kLowestFreeNumber, PgParameters().Add(pool));
  lowest.Step();
  std::optional<std::int64_t> number = lowest.OptionalInt(0);
  if (number) {
    connection_.Run(sql::kDeleteFreeNumber, PgParameters().Add(pool).Add(*number));
  } else if (next <= last) {
    number = next;
    connection_.Run(sql::kAdvancePool, PgParameters().Add(pool));
  }
  if (!number) {
    return {ReserveResult::Status::Exhausted,
            {},
            "pool \"" + pool + "\" has no free number left (" + std::to_string(select.Int(0)) + ".." +
                std::to_string(last) + ")"};
  }
  connection_.Run(sql::kInsertReservation, PgParameters().Add(pool).Add(*number).Add(who_.instance));
  transaction.Commit();
  return {ReserveResult::Status::Reserved, {pool, static_cast<std::uint64_t>(*number)}, {}};
}

void PostgresRecordStore::Finish(const BoardRecord& record, const std::optional<Reservation>& reservation) {
  KeepsNumber(record, reservation);  // refuses a board that holds another number
  std::lock_guard lock(mutex_);
  try {
    // A repeated commit records once: the board's key is unique.
    SendReconnectingOnce([&] { Record(record, reservation, who_.instance); });
  } catch (const PostgresUnreachable&) {
    spool_.Add(record, reservation, who_.instance);
  } catch (const RecordStoreError& error) {
    throw RecordStoreError("cannot record the board of slot " + record.slot + " in " + shownLocation_ + ": " +
                           error.what());
  }
}

void PostgresRecordStore::Record(const BoardRecord& record, const std::optional<Reservation>& reservation,
                                 const std::string& holder) {
  const bool keeps = KeepsNumber(record, reservation);
  PgParameters board;
  BindBoard(record, RecordedNumber(record, keeps ? reservation : std::nullopt),
            [&board](int, const auto& value) { board.Add(value); });
  board.Add(keeps ? std::optional<std::string>(reservation->pool) : std::nullopt);
  PgTransaction transaction(connection_);
  connection_.Run(kTakePoolsLock);
  // A board recorded before has settled its reservation then.
  if (connection_.Run(sql::kInsertBoard, board).Changes() > 0 && reservation) Settle(*reservation, keeps, holder);
  transaction.Commit();
}

void PostgresRecordStore::SendReconnectingOnce(const std::function<void()>& send) {
  for (int attempt = 0;; ++attempt) {
    try {
      Refresh();
      send();
      return;
    } catch (const PostgresUnreachable&) {
      if (attempt > 0) throw;
    }
  }
}

// Settling twice does no harm: a kept place is taken out of the pool again,
// and a place given back returns only while this instance still holds it,
// which it cannot have reserved anew in between (the mutex is held).
void PostgresRecordStore::SettleCount(const Reservation& reservation, bool keep) {
  std::lock_guard lock(mutex_);
  try {
    SendReconnectingOnce([&] { SettleInTransaction(reservation, keep, who_.instance); });
  } catch (const PostgresUnreachable&) {
    // A kept place must outlive this process: it goes to the spool file.
    if (keep) {
      spool_.AddKeptCount(reservation, who_.instance);
    } else {
      unsentGiveBacks_.push_back(reservation);
    }
  } catch (const RecordStoreError& error) {
    throw RecordStoreError("cannot settle number " + std::to_string(reservation.number) + " of pool \"" +
                           reservation.pool + "\" in " + shownLocation_ + ": " + error.what());
  }
}

void PostgresRecordStore::SettleInTransaction(const Reservation& reservation, bool keeps, const std::string& holder) {
  PgTransaction transaction(connection_);
  connection_.Run(kTakePoolsLock);
  Settle(reservation, keeps, holder);
  transaction.Commit();
}

void PostgresRecordStore::Settle(const Reservation& reservation, bool keeps, const std::string& holder) {
  const std::int64_t number = StoredNumber(reservation.number);
  const auto released =
      connection_.Run(sql::kDeleteReservation, PgParameters().Add(reservation.pool).Add(number).Add(holder));
  if (keeps) {
    // Given back while this instance was taken for gone: the board holds it now.
    connection_.Run(sql::kDeleteFreeNumber, PgParameters().Add(reservation.pool).Add(number));
  } else if (released.Changes() > 0) {
    connection_.Run(sql::kInsertFreeNumber, PgParameters().Add(reservation.pool).Add(number));
  }
}

// Boards and kept places in the order they were spooled, then the places
// given back. Throws PostgresUnreachable, leaving the rest for later.
void PostgresRecordStore::SendSpool() {
  for (;;) {
    const auto board = spool_.Oldest();
    const auto kept = spool_.OldestKeptCount();
    if (kept && (!board || kept->afterBoard < board->id)) {
      // Kept as a late board keeps its number: out of the pool even if its
      // holder was taken for gone and the place given back meanwhile.
      SendOrSetAside([&] { SettleInTransaction(kept->reservation, true, kept->holder); },
                     [&](const std::string& why) { spool_.SetAsideKeptCount(kept->id, why); },
                     [&] { spool_.RemoveKeptCount(kept->id); });
    } else if (board) {
      SendOrSetAside([&] { Record(board->record, board->reservation, board->holder); },
                     [&](const std::string& why) { spool_.SetAside(board->id, why); },
                     [&] { spool_.Remove(board->id); });
    } else {
      break;
    }
  }
  while (!unsentGiveBacks_.empty()) {
    SettleInTransaction(unsentGiveBacks_.front(), false, who_.instance);
    unsentGiveBacks_.erase(unsentGiveBacks_.begin());
  }
}

std::vector<BoardRecord> PostgresRecordStore::Find(const RecordQuery& query) {
  std::string text = sql::kSelectBoards;
  PgParameters parameters;
  // The shared conditions number their parameters by filter; here they count up.
  int next = 1;
  auto condition = [&](const char* sqlText, const auto& value) {
    std::string part = sqlText;
    const auto mark = part.find('?');
    part.replace(mark, part.find_first_not_of("0123456789", mark + 1) - mark, "?" + std::to_string(next++));
    text += part;
    parameters.Add(value);
  };
  if (query.since) condition(sql::kSinceCondition, *query.since);
  if (query.until) condition(sql::kUntilCondition, *query.until);
  if (query.serial) condition(sql::kSerialCondition, StoredNumber(*query.serial));
  if (query.slot) condition(sql::kSlotCondition, *query.slot);
  if (query.result) condition(sql::kResultCondition, *query.result);
  text += sql::kOldestFirst;
  std::lock_guard lock(mutex_);
  try {
    Refresh();
    auto rows = connection_.Run(text, parameters);
    std::vector<BoardRecord> boards;
    while (rows.Step()) boards.push_back(ReadBoardRow(rows));
    return boards;
  } catch (const RecordStoreError& error) {
    throw RecordStoreError("cannot read the boards in " + shownLocation_ + ": " + error.what());
  }
}

}  // namespace mx::records

namespace mx::records {

OpenedStore OpenPostgresStore(const std::string& location, const StationIdentity& who, const StoreOptions& options) {
  const std::string shown = WithoutPassword(location);
  if (who.instance.empty()) return {nullptr, "cannot open the record database " + shown + ": no instance name"};
  try {
    return {std::make_unique<PostgresRecordStore>(location, who, options, SpoolPathFor(location)), {}};
  } catch (const PostgresUnreachable& failure) {
    return {nullptr, "cannot open the record database " + shown + ": " + NotReached(shown, failure.what())};
  } catch (const RecordStoreError& failure) {
    return {nullptr, "cannot open the record database " + shown + ": " + failure.what()};
  }
}

}  // namespace mx::records
