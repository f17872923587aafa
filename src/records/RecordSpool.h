#pragma once

// Boards finished while the server could not be reached, and places of a
// count that passed boards keep, in a local SQLite file, oldest first, until
// they are sent. Every addition is on disk before it returns.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "records/RecordStore.h"
#include "records/Sqlite.h"

namespace mx::records {

struct SpooledBoard {
  std::int64_t id = 0;
  BoardRecord record;
  std::optional<Reservation> reservation;
  std::string holder;  // the instance that reserved the number
};

// A place of a count (a reservation no board's record carries) that a passed
// board keeps.
struct SpooledKeptCount {
  std::int64_t id = 0;
  Reservation reservation;
  std::string holder;
  std::int64_t afterBoard = 0;  // sent before any spooled board of a higher id
};

class RecordSpool {
 public:
  // Opens or creates the file (and its folder). Throws RecordStoreError.
  explicit RecordSpool(const std::string& path);

  const std::string& Path() const { return path_; }
  void Add(const BoardRecord& record, const std::optional<Reservation>& reservation, const std::string& holder);
  // The oldest board not set aside.
  std::optional<SpooledBoard> Oldest();
  // Keeps a board the server refused, with the reason, out of the sending.
  void SetAside(std::int64_t id, const std::string& reason);
  // Forgets a board once the server has it.
  void Remove(std::int64_t id);

  void AddKeptCount(const Reservation& reservation, const std::string& holder);
  // The oldest kept place not set aside.
  std::optional<SpooledKeptCount> OldestKeptCount();
  void SetAsideKeptCount(std::int64_t id, const std::string& reason);
  void RemoveKeptCount(std::int64_t id);

 private:
  std::string path_;
  std::mutex mutex_;
  SqliteDatabase db_;
};

// The spool of a server: spool-<digest of its location without password>.sqlite
// in the folder of the default database.
std::string SpoolPathFor(const std::string& location);

}  // namespace mx::records
