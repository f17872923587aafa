#pragma once

// Where a production line keeps its boards: one row per board, and pools of
// serial numbers that are never given twice. SQLite for one station,
// PostgreSQL for a line of stations sharing one server.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace mx::records {

// One board as it ended: what was written into it and how it went.
struct BoardRecord {
  std::string station;   // --station, default the host name
  std::string instance;  // this station process, unique across restarts
  std::string slot;      // the physical connector (by-path name, location path, or the port's name)
  std::string port;      // the port's name as the run used it
  std::string started;   // UTC, ISO 8601 with milliseconds: 2026-12-09T22:41:07.123Z
  std::string ended;
  std::string file;
  std::string fileSha256;               // of the file as read, before any number was written
  std::optional<std::uint64_t> serial;  // the number written, if any
  std::optional<std::string> data;      // the per-board bytes written, in hex, if any
  std::string oldVersion;
  std::string restorePoint;
  std::string bootloaderVersion;
  std::string result;  // the word of the JSON "end" event
  std::string reason;
  int attempts = 1;
  bool interrupted = false;
  std::string packageId;       // the sealed package the run came from, if any
  std::string keyId;           // the file's signing key, 16 upper-case hex digits; empty when unsigned
  std::string trustedComment;  // the signature's trusted comment, if any
};

// Who writes: a station's name and this process's unique instance.
struct StationIdentity {
  std::string station;
  std::string instance;
};

// A pool's numbers: FIRST up to LAST, or without end.
struct PoolRange {
  std::uint64_t first = 1;
  std::optional<std::uint64_t> last;
};

// A number held for one board of this instance until the board ends.
struct Reservation {
  std::string pool;
  std::uint64_t number = 0;
};

struct ReserveResult {
  enum class Status { Reserved, Exhausted, Unreachable };
  Status status = Status::Unreachable;
  Reservation reservation;  // when Reserved
  std::string message;      // otherwise: why, for the operator
};

struct RecordQuery {
  std::optional<std::string> since;  // started at or after, ISO 8601
  std::optional<std::string> until;  // started before
  std::optional<std::uint64_t> serial;
  std::optional<std::string> slot;
  std::optional<std::string> result;
};

// A record store that cannot do what was asked: why, for the operator.
class RecordStoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class RecordStore {
 public:
  virtual ~RecordStore() = default;

  // Where the records are, fit to show: a connection string loses its password.
  virtual std::string Location() const = 0;

  // Creates `pool` with `range`, or checks that an existing pool has it.
  // Returns why not, for the operator; nothing when the pool is ready.
  virtual std::optional<std::string> OpenPool(const std::string& pool, const PoolRange& range) = 0;

  // Durably reserves the lowest number of `pool` that no board holds and no
  // live station has reserved.
  virtual ReserveResult Reserve(const std::string& pool) = 0;

  // Records a finished board. A passed board keeps its reservation's number;
  // any other result gives it back to the pool. Safe to repeat; kept in a
  // local spool while a server is out of reach, and sent in order later.
  // Throws RecordStoreError when the board cannot be recorded.
  virtual void Finish(const BoardRecord& record, const std::optional<Reservation>& reservation) = 0;

  // Settles a reservation that no board's record carries (a count of boards,
  // not a number written): kept, it is never given out again; else it goes
  // back to the pool. While a server is out of reach a kept number waits in
  // the local spool with the boards, one given back waits in memory, and
  // both are sent later. Throws RecordStoreError when it cannot be settled;
  // the number then stays this instance's while its lease lasts.
  virtual void SettleCount(const Reservation& reservation, bool keep) = 0;

  // The recorded boards that match `query`, oldest first.
  virtual std::vector<BoardRecord> Find(const RecordQuery& query) = 0;
};

// The word of a passed board's result, as the JSON "end" event writes it.
inline constexpr const char* kPassedResult = "ok";

// How long an instance's reservations stay its own without renewal, and how
// often the store renews them (keep it well below the lease). `clock` gives the time (tests set it ahead to
// see other instances' leases as gone).
struct StoreOptions {
  std::chrono::milliseconds leaseLength{30000};
  std::chrono::milliseconds renewEvery{5000};
  std::function<std::chrono::system_clock::time_point()> clock = [] { return std::chrono::system_clock::now(); };
};

struct OpenedStore {
  std::unique_ptr<RecordStore> store;
  std::string error;  // when no store: why, for the operator (never with a password)
};

// "postgresql://…", "postgres://…" or a libpq "key=value" string opens
// PostgreSQL; anything else is an SQLite file. Creates or upgrades the
// schema; refuses a database of a newer schema.
OpenedStore OpenRecordStore(const std::string& location, const StationIdentity& who);
OpenedStore OpenRecordStore(const std::string& location, const StationIdentity& who, const StoreOptions& options);

// Whether `location` names a PostgreSQL server rather than an SQLite file.
bool IsConnectionString(const std::string& location);

// `location` fit to show: a URI's user:password@ becomes user@, and a
// password parameter or password=... key is left out.
std::string WithoutPassword(const std::string& location);

// The SQLite file used when no --db is given.
std::string DefaultDatabasePath();

}  // namespace mx::records
