#include "records/Postgres.h"

#include <cctype>
#include <cstdlib>

namespace mx::records {

namespace {

// A connection string without a time-out of its own gives up after this
// many seconds rather than hang on a host that does not answer.
constexpr const char* kConnectTimeoutSeconds = "10";

// The passwords a message might carry: the connection string's own, and
// the environment's.
std::vector<std::string> PasswordsOf(const std::string& location) {
  std::vector<std::string> secrets;
  if (PQconninfoOption* options = PQconninfoParse(location.c_str(), nullptr)) {
    for (PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
      if (std::string(option->keyword) == "password" && option->val != nullptr && option->val[0] != '\0') {
        secrets.emplace_back(option->val);
      }
    }
    PQconninfoFree(options);
  }
  if (const char* fromEnvironment = std::getenv("PGPASSWORD"); fromEnvironment && fromEnvironment[0] != '\0') {
    secrets.emplace_back(fromEnvironment);
  }
  return secrets;
}

std::string Trimmed(std::string text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  return text;
}

}  // namespace

std::string PostgresPlaceholders(const std::string& sql) {
  std::string out;
  out.reserve(sql.size());
  bool quoted = false;
  for (std::size_t i = 0; i < sql.size(); ++i) {
    if (sql[i] == '\'') quoted = !quoted;
    const bool placeholder =
        !quoted && sql[i] == '?' && i + 1 < sql.size() && std::isdigit(static_cast<unsigned char>(sql[i + 1]));
    out += placeholder ? '$' : sql[i];
  }
  return out;
}

PgParameters& PgParameters::Add(const std::string& text) {
  values_.emplace_back(text);
  return *this;
}

PgParameters& PgParameters::Add(std::int64_t number) { return Add(std::to_string(number)); }

PgParameters& PgParameters::Add(const std::optional<std::string>& text) {
  values_.push_back(text);
  return *this;
}

PgParameters& PgParameters::Add(const std::optional<std::int64_t>& number) {
  if (number) return Add(*number);
  values_.emplace_back(std::nullopt);
  return *this;
}

int PgRows::Changes() const {
  const char* count = PQcmdTuples(result_.get());
  return count[0] == '\0' ? 0 : std::atoi(count);
}

std::int64_t PgRows::Int(int column) const {
  return std::strtoll(PQgetvalue(result_.get(), row_, column), nullptr, 10);
}

std::optional<std::int64_t> PgRows::OptionalInt(int column) const {
  if (IsNull(column)) return std::nullopt;
  return Int(column);
}

std::optional<std::string> PgRows::OptionalText(int column) const {
  if (IsNull(column)) return std::nullopt;
  return Text(column);
}

PgConnection::PgConnection(std::string location) : location_(std::move(location)), secrets_(PasswordsOf(location_)) {}

PgConnection::~PgConnection() { Disconnect(); }

void PgConnection::Disconnect() {
  if (connection_ != nullptr) PQfinish(connection_);
  connection_ = nullptr;
}

bool PgConnection::Connected() const { return connection_ != nullptr && PQstatus(connection_) == CONNECTION_OK; }

bool PgConnection::EnsureConnected() {
  if (Connected()) return false;
  Disconnect();
  // The string's own settings come after the default time-out, and win.
  const char* keywords[] = {"connect_timeout", "dbname", nullptr};
  const char* values[] = {kConnectTimeoutSeconds, location_.c_str(), nullptr};
  connection_ = PQconnectdbParams(keywords, values, 1);
  if (connection_ == nullptr) throw PostgresUnreachable("out of memory");
  if (PQstatus(connection_) != CONNECTION_OK) {
    const std::string detail = Trimmed(PQerrorMessage(connection_));
    Disconnect();
    throw PostgresUnreachable(Scrubbed(detail));
  }
  return true;
}

std::string PgConnection::Scrubbed(std::string text) const {
  for (const std::string& secret : secrets_) {
    for (auto at = text.find(secret); at != std::string::npos; at = text.find(secret, at)) {
      text.replace(at, secret.size(), "***");
    }
  }
  return text;
}

void PgConnection::Fail(const std::string& detail) const {
  if (!Connected()) throw PostgresUnreachable(Scrubbed(detail));
  throw RecordStoreError(Scrubbed(detail));
}

PgRows PgConnection::Run(const std::string& sql, const PgParameters& parameters) {
  if (!Connected()) throw PostgresUnreachable("the connection to the server is lost");
  std::vector<const char*> values;
  for (const auto& value : parameters.Values()) values.push_back(value ? value->c_str() : nullptr);
  PGresult* result = PQexecParams(connection_, PostgresPlaceholders(sql).c_str(), static_cast<int>(values.size()),
                                  nullptr, values.data(), nullptr, nullptr, 0);
  PgRows rows(result);
  const ExecStatusType status = result != nullptr ? PQresultStatus(result) : PGRES_FATAL_ERROR;
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) Fail(Trimmed(PQerrorMessage(connection_)));
  return rows;
}

PgTransaction::PgTransaction(PgConnection& connection) : connection_(connection) { connection_.Run("BEGIN"); }

PgTransaction::~PgTransaction() {
  if (done_ || !connection_.Connected()) return;
  try {
    connection_.Run("ROLLBACK");
  } catch (const RecordStoreError&) {
    // The server ends a transaction whose connection it loses by itself.
  }
}

void PgTransaction::Commit() {
  connection_.Run("COMMIT");
  done_ = true;
}

}  // namespace mx::records
