#pragma once

// Every statement the record stores run, in plain SQL that SQLite and
// PostgreSQL both take. Parameters are numbered (?1, ?2 …) and always bound,
// never pasted in. Times of leases are milliseconds since 1970 UTC.

#include <array>
#include <span>

namespace mx::records::sql {

// Each schema version's steps, applied in order from the database's version
// up to kSchemaVersion; the index is the version a step leads to, minus one.
inline constexpr int kSchemaVersion = 2;

inline constexpr const char* kCreateVersionTable =
    "CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)";
inline constexpr const char* kSelectVersion = "SELECT MAX(version) FROM schema_version";
inline constexpr const char* kInsertVersion = "INSERT INTO schema_version (version) VALUES (?1)";

inline constexpr std::array<const char*, 6> kSchemaVersion1 = {
    // Every number of a pool below next_number has been given out once; those
    // given back since wait in free_numbers, lowest first.
    "CREATE TABLE pools (name TEXT PRIMARY KEY, first_number BIGINT NOT NULL, last_number BIGINT,"
    " next_number BIGINT NOT NULL)",
    "CREATE TABLE free_numbers (pool TEXT NOT NULL, number BIGINT NOT NULL, PRIMARY KEY (pool, number))",
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

// The signature of the file a board was written from: its key id and trusted comment.
inline constexpr std::array<const char*, 2> kSchemaVersion2 = {
    "ALTER TABLE boards ADD COLUMN key_id TEXT NOT NULL DEFAULT ''",
    "ALTER TABLE boards ADD COLUMN trusted_comment TEXT NOT NULL DEFAULT ''",
};

inline constexpr std::array<std::span<const char* const>, kSchemaVersion> kSchemaSteps = {kSchemaVersion1,
                                                                                          kSchemaVersion2};

inline constexpr const char* kSelectPool = "SELECT first_number, last_number, next_number FROM pools WHERE name = ?1";
inline constexpr const char* kInsertPool =
    "INSERT INTO pools (name, first_number, last_number, next_number) VALUES (?1, ?2, ?3, ?2)";
inline constexpr const char* kAdvancePool = "UPDATE pools SET next_number = next_number + 1 WHERE name = ?1";

inline constexpr const char* kSelectLease = "SELECT lease_until FROM instances WHERE instance = ?1";
inline constexpr const char* kRenewLease =
    "INSERT INTO instances (instance, station, lease_until) VALUES (?1, ?2, ?3)"
    " ON CONFLICT (instance) DO UPDATE SET station = excluded.station, lease_until = excluded.lease_until";
inline constexpr const char* kEndLease = "DELETE FROM instances WHERE instance = ?1";

// A number r.pool, r.number goes back to its pool only while no passed board
// keeps it: one whose keeper's lease had lapsed may have been reserved again
// and kept meanwhile. (Also in kGiveBackLapsedReservations, kInsertFreeNumber.)
inline constexpr const char* kNotKept =
    " NOT EXISTS (SELECT 1 FROM boards WHERE boards.kept_pool = r.pool AND boards.serial = r.number)";

// Reservations whose instance holds no lease at ?1 or later are given back.
inline constexpr const char* kGiveBackLapsedReservations =
    "INSERT INTO free_numbers (pool, number) SELECT pool, number FROM reservations r"
    " WHERE instance NOT IN (SELECT instance FROM instances WHERE lease_until >= ?1) AND"
    " NOT EXISTS (SELECT 1 FROM boards WHERE boards.kept_pool = r.pool AND boards.serial = r.number)";
inline constexpr const char* kDeleteLapsedReservations =
    "DELETE FROM reservations WHERE instance NOT IN (SELECT instance FROM instances WHERE lease_until >= ?1)";

inline constexpr const char* kLowestFreeNumber = "SELECT MIN(number) FROM free_numbers WHERE pool = ?1";
inline constexpr const char* kInsertFreeNumber =
    "INSERT INTO free_numbers (pool, number) SELECT r.pool, r.number FROM"
    " (SELECT CAST(?1 AS TEXT) AS pool, CAST(?2 AS BIGINT) AS number) r WHERE"
    " NOT EXISTS (SELECT 1 FROM boards WHERE boards.kept_pool = r.pool AND boards.serial = r.number)";
inline constexpr const char* kDeleteFreeNumber = "DELETE FROM free_numbers WHERE pool = ?1 AND number = ?2";
inline constexpr const char* kInsertReservation =
    "INSERT INTO reservations (pool, number, instance) VALUES (?1, ?2, ?3)";
inline constexpr const char* kDeleteReservation =
    "DELETE FROM reservations WHERE pool = ?1 AND number = ?2 AND instance = ?3";

// A board already recorded under the same instance, slot and start stays as it is.
inline constexpr const char* kInsertBoard =
    "INSERT INTO boards (station, instance, slot, port, started, ended, file, file_sha256, serial, data,"
    " old_version, restore_point, bootloader_version, result, reason, attempts, interrupted, package_id, key_id,"
    " trusted_comment, kept_pool)"
    " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18, ?19, ?20, ?21)"
    " ON CONFLICT (instance, slot, started) DO NOTHING";

// Find: the base, then one condition per filter given, in this order.
inline constexpr const char* kSelectBoards =
    "SELECT station, instance, slot, port, started, ended, file, file_sha256, serial, data, old_version,"
    " restore_point, bootloader_version, result, reason, attempts, interrupted, package_id, key_id, trusted_comment"
    " FROM boards"
    " WHERE 1 = 1";
inline constexpr const char* kSinceCondition = " AND started >= ?1";
inline constexpr const char* kUntilCondition = " AND started < ?2";
inline constexpr const char* kSerialCondition = " AND serial = ?3";
inline constexpr const char* kSlotCondition = " AND slot = ?4";
inline constexpr const char* kResultCondition = " AND result = ?5";
inline constexpr const char* kOldestFirst = " ORDER BY started, instance, slot";

}  // namespace mx::records::sql
