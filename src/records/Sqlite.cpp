#include "records/Sqlite.h"

namespace mx::records {

namespace {

[[noreturn]] void Fail(sqlite3* db, int code) {
  const char* detail = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code);
  throw RecordStoreError(std::string(detail));
}

}  // namespace

SqliteStatement::SqliteStatement(sqlite3* db, const char* sql) : db_(db) {
  Check(sqlite3_prepare_v2(db_, sql, -1, &statement_, nullptr));
}

SqliteStatement::~SqliteStatement() { sqlite3_finalize(statement_); }

void SqliteStatement::Check(int code) const {
  if (code != SQLITE_OK) Fail(db_, code);
}

SqliteStatement& SqliteStatement::Bind(int index, const std::string& text) {
  Check(sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT));
  return *this;
}

SqliteStatement& SqliteStatement::Bind(int index, std::int64_t number) {
  Check(sqlite3_bind_int64(statement_, index, number));
  return *this;
}

SqliteStatement& SqliteStatement::Bind(int index, const std::optional<std::string>& text) {
  if (text) return Bind(index, *text);
  Check(sqlite3_bind_null(statement_, index));
  return *this;
}

SqliteStatement& SqliteStatement::Bind(int index, const std::optional<std::int64_t>& number) {
  if (number) return Bind(index, *number);
  Check(sqlite3_bind_null(statement_, index));
  return *this;
}

bool SqliteStatement::Step() {
  const int code = sqlite3_step(statement_);
  if (code == SQLITE_ROW) return true;
  if (code != SQLITE_DONE) Fail(db_, code);
  return false;
}

void SqliteStatement::Run() {
  while (Step()) {
  }
}

int SqliteStatement::Changes() const { return sqlite3_changes(db_); }

bool SqliteStatement::IsNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }

std::int64_t SqliteStatement::Int(int column) const { return sqlite3_column_int64(statement_, column); }

std::optional<std::int64_t> SqliteStatement::OptionalInt(int column) const {
  if (IsNull(column)) return std::nullopt;
  return Int(column);
}

std::string SqliteStatement::Text(int column) const {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
  return text != nullptr ? std::string(text, sqlite3_column_bytes(statement_, column)) : std::string();
}

std::optional<std::string> SqliteStatement::OptionalText(int column) const {
  if (IsNull(column)) return std::nullopt;
  return Text(column);
}

SqliteDatabase::SqliteDatabase(const std::string& path) {
  const int code = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (code != SQLITE_OK) {
    const std::string detail = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(code);
    sqlite3_close(db_);
    throw RecordStoreError(detail);
  }
  sqlite3_extended_result_codes(db_, 1);
}

SqliteDatabase::~SqliteDatabase() { sqlite3_close(db_); }

void SqliteDatabase::Execute(const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) == SQLITE_OK) return;
  const std::string detail = error != nullptr ? error : sqlite3_errmsg(db_);
  sqlite3_free(error);
  throw RecordStoreError(detail);
}

SqliteTransaction::SqliteTransaction(SqliteDatabase& db) : db_(db) { db_.Execute("BEGIN IMMEDIATE"); }

SqliteTransaction::~SqliteTransaction() {
  if (!done_) sqlite3_exec(db_.Handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void SqliteTransaction::Commit() {
  db_.Execute("COMMIT");
  done_ = true;
}

}  // namespace mx::records
