#pragma once

// A thin hold on one SQLite connection and its statements. Every failure
// throws RecordStoreError with SQLite's own words. Not for sharing between
// threads without a lock.

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>

#include "records/RecordStore.h"

namespace mx::records {

class SqliteStatement {
 public:
  SqliteStatement(sqlite3* db, const char* sql);
  ~SqliteStatement();
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;

  SqliteStatement& Bind(int index, const std::string& text);
  SqliteStatement& Bind(int index, std::int64_t number);
  SqliteStatement& Bind(int index, const std::optional<std::string>& text);
  SqliteStatement& Bind(int index, const std::optional<std::int64_t>& number);

  // Runs to the next row: true while there is one.
  bool Step();
  // Runs a statement that returns no rows.
  void Run();
  // The number of rows the last Run changed.
  int Changes() const;

  bool IsNull(int column) const;
  std::int64_t Int(int column) const;
  std::optional<std::int64_t> OptionalInt(int column) const;
  std::string Text(int column) const;
  std::optional<std::string> OptionalText(int column) const;

 private:
  void Check(int code) const;

  sqlite3* db_;
  sqlite3_stmt* statement_ = nullptr;
};

class SqliteDatabase {
 public:
  // Opens or creates the file; `path` names it in messages.
  explicit SqliteDatabase(const std::string& path);
  ~SqliteDatabase();
  SqliteDatabase(const SqliteDatabase&) = delete;
  SqliteDatabase& operator=(const SqliteDatabase&) = delete;

  void Execute(const char* sql);
  SqliteStatement Prepare(const char* sql) { return SqliteStatement(db_, sql); }
  sqlite3* Handle() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

// BEGIN IMMEDIATE: takes the write lock at once, so two writers wait for each
// other (busy timeout) rather than fail on upgrading a read. Rolls back
// unless committed.
class SqliteTransaction {
 public:
  explicit SqliteTransaction(SqliteDatabase& db);
  ~SqliteTransaction();
  SqliteTransaction(const SqliteTransaction&) = delete;
  SqliteTransaction& operator=(const SqliteTransaction&) = delete;
  void Commit();

 private:
  SqliteDatabase& db_;
  bool done_ = false;
};

}  // namespace mx::records
