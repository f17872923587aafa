#pragma once

// Every statement the record stores run, in plain SQL that SQLite and
// PostgreSQL both take. Parameters are numbered (?1, ?2 …) and always bound,
// never pasted in. Times of leases are milliseconds since 1970 UTC.

#include <array>

namespace mx::records::sql {

// Each schema version's steps, applied in order from the database's version
// up to kSchemaVersion; the index is the version a step leads to, minus one.
inline constexpr int kSchemaVersion = 1;

inline constexpr const char* kCreateVersionTable =
    "CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)";
inline constexpr const char* kSelectVersion = "SELECT MAX(version) FROM schema_version";
inline constexpr const char* kInsertVersion = "INSERT INTO schema_version (version) VALUES (?1)";

inline constexpr std::array<const char*, 5> kSchemaVersion1 = {
    "CREATE TABLE pools (name TEXT PRIMARY KEY, first_number BIGINT NOT NULL, last_number BIGINT)",
    "CREATE TABLE instances (instance TEXT PRIMARY KEY, station TEXT NOT NULL, lease_until BIGINT NOT NULL)",
    "CREATE TABLE reservations (pool TEXT NOT NULL, number BIGINT NOT NULL, instance TEXT NOT NULL,"
    " PRIMARY KEY (pool, number))",
    // kept_pool is set only on a passed board that keeps its pool's number.
    "CREATE TABLE boards (station TEXT NOT NULL, instance TEXT NOT NULL, slot TEXT NOT NULL, port TEXT NOT NULL,"
    " started TEXT NOT NULL, ended TEXT NOT NULL, file TEXT NOT NULL, file_sha256 TEXT NOT NULL, serial BIGINT,"
    " data TEXT, old_version TEXT NOT NULL, restore_point TEXT NOT NULL, bootloader_version TEXT NOT NULL,"
    " result TEXT NOT NULL, reason TEXT NOT NULL, attempts INTEGER NOT NULL, interrupted INTEGER NOT NULL,"
    " package_id TEXT NOT NULL, kept_pool TEXT,"
    " PRIMARY KEY (instance, slot, started), UNIQUE (kept_pool, serial))",
    "CREATE INDEX boards_by_started ON boards (started)",
};

inline constexpr const char* kSelectPool = "SELECT first_number, last_number FROM pools WHERE name = ?1";
inline constexpr const char* kInsertPool = "INSERT INTO pools (name, first_number, last_number) VALUES (?1, ?2, ?3)";

inline constexpr const char* kSelectLease = "SELECT lease_until FROM instances WHERE instance = ?1";
inline constexpr const char* kRenewLease =
    "INSERT INTO instances (instance, station, lease_until) VALUES (?1, ?2, ?3)"
    " ON CONFLICT (instance) DO UPDATE SET station = excluded.station, lease_until = excluded.lease_until";
inline constexpr const char* kEndLease = "DELETE FROM instances WHERE instance = ?1";

// Reservations whose instance holds no lease at ?1 or later are free again.
inline constexpr const char* kFreeLapsedReservations =
    "DELETE FROM reservations WHERE instance NOT IN (SELECT instance FROM instances WHERE lease_until >= ?1)";

// The lowest free number is the pool's first one or follows a taken one.
inline constexpr const char* kLowestFreeNumber =
    "SELECT MIN(candidate) FROM ("
    " SELECT CAST(?2 AS BIGINT) AS candidate"
    " UNION ALL SELECT serial + 1 FROM boards WHERE kept_pool = ?1"
    " UNION ALL SELECT number + 1 FROM reservations WHERE pool = ?1) AS candidates"
    " WHERE candidate >= ?2"
    " AND NOT EXISTS (SELECT 1 FROM boards WHERE kept_pool = ?1 AND serial = candidates.candidate)"
    " AND NOT EXISTS (SELECT 1 FROM reservations WHERE pool = ?1 AND number = candidates.candidate)";
inline constexpr const char* kInsertReservation =
    "INSERT INTO reservations (pool, number, instance) VALUES (?1, ?2, ?3)";
inline constexpr const char* kDeleteReservation =
    "DELETE FROM reservations WHERE pool = ?1 AND number = ?2 AND instance = ?3";

// A board already recorded under the same instance, slot and start stays as it is.
inline constexpr const char* kInsertBoard =
    "INSERT INTO boards (station, instance, slot, port, started, ended, file, file_sha256, serial, data,"
    " old_version, restore_point, bootloader_version, result, reason, attempts, interrupted, package_id, kept_pool)"
    " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18, ?19)"
    " ON CONFLICT (instance, slot, started) DO NOTHING";

// Find: the base, then one condition per filter given, in this order.
inline constexpr const char* kSelectBoards =
    "SELECT station, instance, slot, port, started, ended, file, file_sha256, serial, data, old_version,"
    " restore_point, bootloader_version, result, reason, attempts, interrupted, package_id FROM boards"
    " WHERE 1 = 1";
inline constexpr const char* kSinceCondition = " AND started >= ?1";
inline constexpr const char* kUntilCondition = " AND started < ?2";
inline constexpr const char* kSerialCondition = " AND serial = ?3";
inline constexpr const char* kSlotCondition = " AND slot = ?4";
inline constexpr const char* kResultCondition = " AND result = ?5";
inline constexpr const char* kOldestFirst = " ORDER BY started, instance, slot";

}  // namespace mx::records::sql
