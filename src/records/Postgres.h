#pragma once

// A thin hold on one libpq connection. Statements are the shared SQL with
// ?N placeholders, turned into $N; every value goes as a text parameter,
// never pasted in. Failures throw RecordStoreError with the server's words,
// with any password of the connection string taken out.

#include <libpq-fe.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "records/RecordStore.h"

namespace mx::records {

// A failure because the server cannot be reached, or went away mid-way.
class PostgresUnreachable : public RecordStoreError {
 public:
  using RecordStoreError::RecordStoreError;
};

// The parameters of one statement, $1 first; nothing stands for NULL.
class PgParameters {
 public:
  PgParameters& Add(const std::string& text);
  PgParameters& Add(std::int64_t number);
  PgParameters& Add(const std::optional<std::string>& text);
  PgParameters& Add(const std::optional<std::int64_t>& number);
  const std::vector<std::optional<std::string>>& Values() const { return values_; }

 private:
  std::vector<std::optional<std::string>> values_;
};

// The rows of a statement, read one row at a time by the same names as an
// SQLite statement's columns.
class PgRows {
 public:
  explicit PgRows(PGresult* result) : result_(result, PQclear) {}
  // Moves to the next row: true while there is one.
  bool Step() { return ++row_ < PQntuples(result_.get()); }
  int Changes() const;
  bool IsNull(int column) const { return PQgetisnull(result_.get(), row_, column) != 0; }
  std::int64_t Int(int column) const;
  std::optional<std::int64_t> OptionalInt(int column) const;
  std::string Text(int column) const { return PQgetvalue(result_.get(), row_, column); }
  std::optional<std::string> OptionalText(int column) const;

 private:
  std::unique_ptr<PGresult, void (*)(PGresult*)> result_;
  int row_ = -1;
};

class PgConnection {
 public:
  // Does not connect yet; `location` is a URI or key=value string.
  explicit PgConnection(std::string location);
  ~PgConnection();
  PgConnection(const PgConnection&) = delete;
  PgConnection& operator=(const PgConnection&) = delete;

  // Connects anew when there is no good connection; true when it did.
  bool EnsureConnected();
  bool Connected() const;
  void Disconnect();

  PgRows Run(const std::string& sql, const PgParameters& parameters = {});
  // `text` without any password of the connection string or PGPASSWORD.
  std::string Scrubbed(std::string text) const;

 private:
  [[noreturn]] void Fail(const std::string& detail) const;

  std::string location_;
  std::vector<std::string> secrets_;  // passwords to keep out of messages
  PGconn* connection_ = nullptr;
};

// BEGIN … COMMIT; rolls back unless committed (quietly, if the link is gone).
class PgTransaction {
 public:
  explicit PgTransaction(PgConnection& connection);
  ~PgTransaction();
  PgTransaction(const PgTransaction&) = delete;
  PgTransaction& operator=(const PgTransaction&) = delete;
  void Commit();

 private:
  PgConnection& connection_;
  bool done_ = false;
};

// "?1" becomes "$1": the shared statements are written for SQLite.
std::string PostgresPlaceholders(const std::string& sql);

}  // namespace mx::records
