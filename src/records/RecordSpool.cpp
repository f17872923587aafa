#include "records/RecordSpool.h"

#include <array>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "records/BoardRow.h"

namespace mx::records {

namespace {

// Another station process on this computer may be sending the same spool.
constexpr int kBusyTimeoutMs = 15000;

constexpr const char* kCreateSpool =
    "CREATE TABLE IF NOT EXISTS spooled_boards (id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " station TEXT NOT NULL, instance TEXT NOT NULL, slot TEXT NOT NULL, port TEXT NOT NULL, started TEXT NOT NULL,"
    " ended TEXT NOT NULL, file TEXT NOT NULL, file_sha256 TEXT NOT NULL, serial INTEGER, data TEXT,"
    " old_version TEXT NOT NULL, restore_point TEXT NOT NULL, bootloader_version TEXT NOT NULL, result TEXT NOT NULL,"
    " reason TEXT NOT NULL, attempts INTEGER NOT NULL, interrupted INTEGER NOT NULL, package_id TEXT NOT NULL,"
    " reserved_pool TEXT, reserved_number INTEGER, holder TEXT NOT NULL, refused_because TEXT)";
// A spool of an older program waits with its boards: it gains the
// signature's columns (PRAGMA user_version 1).
constexpr const char* kSelectSpoolVersion = "PRAGMA user_version";
constexpr std::array<const char*, 3> kSpoolVersion1 = {
    "ALTER TABLE spooled_boards ADD COLUMN key_id TEXT NOT NULL DEFAULT ''",
    "ALTER TABLE spooled_boards ADD COLUMN trusted_comment TEXT NOT NULL DEFAULT ''",
    "PRAGMA user_version = 1",
};
constexpr const char* kInsertSpooled =
    "INSERT INTO spooled_boards (station, instance, slot, port, started, ended, file, file_sha256, serial, data,"
    " old_version, restore_point, bootloader_version, result, reason, attempts, interrupted, package_id, key_id,"
    " trusted_comment, reserved_pool, reserved_number, holder)"
    " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18, ?19, ?20, ?21, ?22,"
    " ?23)";
constexpr const char* kSelectOldest =
    "SELECT station, instance, slot, port, started, ended, file, file_sha256, serial, data, old_version,"
    " restore_point, bootloader_version, result, reason, attempts, interrupted, package_id, key_id, trusted_comment,"
    " reserved_pool, reserved_number, holder, id FROM spooled_boards WHERE refused_because IS NULL ORDER BY id"
    " LIMIT 1";
constexpr const char* kSetAside = "UPDATE spooled_boards SET refused_because = ?2 WHERE id = ?1";
constexpr const char* kDeleteSpooled = "DELETE FROM spooled_boards WHERE id = ?1";

// A table of its own: an older spool gains it as it opens, and an older
// program, not knowing it, leaves it for a newer one to send.
constexpr const char* kCreateKeptCounts =
    "CREATE TABLE IF NOT EXISTS spooled_kept_counts (id INTEGER PRIMARY KEY AUTOINCREMENT, pool TEXT NOT NULL,"
    " number INTEGER NOT NULL, holder TEXT NOT NULL, after_board INTEGER NOT NULL, refused_because TEXT)";
// after_board: the last board spooled so far, sent before this place.
constexpr const char* kInsertKeptCount =
    "INSERT INTO spooled_kept_counts (pool, number, holder, after_board) VALUES (?1, ?2, ?3,"
    " COALESCE((SELECT seq FROM sqlite_sequence WHERE name = 'spooled_boards'), 0))";
constexpr const char* kSelectOldestKeptCount =
    "SELECT pool, number, holder, after_board, id FROM spooled_kept_counts WHERE refused_because IS NULL"
    " ORDER BY id LIMIT 1";
constexpr const char* kSetAsideKeptCount = "UPDATE spooled_kept_counts SET refused_because = ?2 WHERE id = ?1";
constexpr const char* kDeleteKeptCount = "DELETE FROM spooled_kept_counts WHERE id = ?1";

std::string CreatedFolderOf(const std::string& path) {
  const auto folder = std::filesystem::path(std::u8string(path.begin(), path.end())).parent_path();
  std::error_code error;
  if (!folder.empty()) std::filesystem::create_directories(folder, error);
  if (error) throw RecordStoreError("cannot create the folder of " + path + ": " + error.message());
  return path;
}

// FNV-1a: a short, stable name for a location.
std::string Digest(const std::string& text) {
  std::uint64_t hash = 14695981039346656037ull;
  for (unsigned char byte : text) hash = (hash ^ byte) * 1099511628211ull;
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
  return hex;
}

}  // namespace

RecordSpool::RecordSpool(const std::string& path) : path_(path), db_(CreatedFolderOf(path)) {
  sqlite3_busy_timeout(db_.Handle(), kBusyTimeoutMs);
  db_.Execute("PRAGMA synchronous = FULL");
  // One transaction: two processes opening the spool at once upgrade it once.
  SqliteTransaction transaction(db_);
  db_.Execute(kCreateSpool);
  db_.Execute(kCreateKeptCounts);
  std::int64_t version = 0;
  {
    auto select = db_.Prepare(kSelectSpoolVersion);
    select.Step();
    version = select.Int(0);
  }
  if (version < 1) {
    for (const char* step : kSpoolVersion1) db_.Execute(step);
  }
  transaction.Commit();
}

void RecordSpool::Add(const BoardRecord& record, const std::optional<Reservation>& reservation,
                      const std::string& holder) {
  std::lock_guard lock(mutex_);
  auto insert = db_.Prepare(kInsertSpooled);
  const auto serial =
      record.serial ? std::optional<std::int64_t>(static_cast<std::int64_t>(*record.serial)) : std::nullopt;
  BindBoard(record, serial, [&insert](int index, const auto& value) { insert.Bind(index, value); });
  insert.Bind(kBoardColumns + 1, reservation ? std::optional<std::string>(reservation->pool) : std::nullopt);
  insert.Bind(kBoardColumns + 2,
              reservation ? std::optional<std::int64_t>(static_cast<std::int64_t>(reservation->number)) : std::nullopt);
  insert.Bind(kBoardColumns + 3, holder);
  insert.Run();
}

std::optional<SpooledBoard> RecordSpool::Oldest() {
  std::lock_guard lock(mutex_);
  auto select = db_.Prepare(kSelectOldest);
  if (!select.Step()) return std::nullopt;
  // After the board's own columns: reserved_pool, reserved_number, holder, id.
  constexpr int pool = kBoardColumns, number = kBoardColumns + 1, holder = kBoardColumns + 2, id = kBoardColumns + 3;
  SpooledBoard spooled{select.Int(id), ReadBoardRow(select), std::nullopt, select.Text(holder)};
  if (!select.IsNull(pool)) {
    spooled.reservation = Reservation{select.Text(pool), static_cast<std::uint64_t>(select.Int(number))};
  }
  return spooled;
}

void RecordSpool::SetAside(std::int64_t id, const std::string& reason) {
  std::lock_guard lock(mutex_);
  db_.Prepare(kSetAside).Bind(1, id).Bind(2, reason).Run();
}

void RecordSpool::Remove(std::int64_t id) {
  std::lock_guard lock(mutex_);
  db_.Prepare(kDeleteSpooled).Bind(1, id).Run();
}

void RecordSpool::AddKeptCount(const Reservation& reservation, const std::string& holder) {
  std::lock_guard lock(mutex_);
  db_.Prepare(kInsertKeptCount)
      .Bind(1, reservation.pool)
      .Bind(2, static_cast<std::int64_t>(reservation.number))
      .Bind(3, holder)
      .Run();
}

std::optional<SpooledKeptCount> RecordSpool::OldestKeptCount() {
  std::lock_guard lock(mutex_);
  auto select = db_.Prepare(kSelectOldestKeptCount);
  if (!select.Step()) return std::nullopt;
  return SpooledKeptCount{
      select.Int(4), {select.Text(0), static_cast<std::uint64_t>(select.Int(1))}, select.Text(2), select.Int(3)};
}

void RecordSpool::SetAsideKeptCount(std::int64_t id, const std::string& reason) {
  std::lock_guard lock(mutex_);
  db_.Prepare(kSetAsideKeptCount).Bind(1, id).Bind(2, reason).Run();
}

void RecordSpool::RemoveKeptCount(std::int64_t id) {
  std::lock_guard lock(mutex_);
  db_.Prepare(kDeleteKeptCount).Bind(1, id).Run();
}

std::string SpoolPathFor(const std::string& location) {
  const std::string database = DefaultDatabasePath();
  const auto folder = std::filesystem::path(std::u8string(database.begin(), database.end())).parent_path();
  const auto file = folder / ("spool-" + Digest(WithoutPassword(location)) + ".sqlite");
  const std::u8string name = file.u8string();
  return std::string(name.begin(), name.end());
}

}  // namespace mx::records
