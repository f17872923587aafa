#include <filesystem>
#include <system_error>

#include "records/OpenPostgres.h"
#include "records/RecordStore.h"
#include "records/SqliteRecordStore.h"

namespace mx::records {

namespace {

OpenedStore OpenSqlite(const std::string& path, const StationIdentity& who, const StoreOptions& options) {
  const std::string problem = "cannot open the record database " + path + ": ";
  // The name is UTF-8, as SQLite takes it, whatever the system's code page.
  const auto folder = std::filesystem::path(std::u8string(path.begin(), path.end())).parent_path();
  std::error_code error;
  if (!folder.empty()) std::filesystem::create_directories(folder, error);
  if (error) return {nullptr, problem + "cannot create its folder: " + error.message()};
  try {
    return {std::make_unique<SqliteRecordStore>(path, who, options), {}};
  } catch (const RecordStoreError& failure) {
    return {nullptr, problem + failure.what()};
  }
}

}  // namespace

OpenedStore OpenRecordStore(const std::string& location, const StationIdentity& who) {
  return OpenRecordStore(location, who, StoreOptions{});
}

OpenedStore OpenRecordStore(const std::string& location, const StationIdentity& who, const StoreOptions& options) {
  if (IsConnectionString(location)) return OpenPostgresStore(location, who, options);
  if (location.empty()) return {nullptr, "no record database was named"};
  if (who.instance.empty()) return {nullptr, "cannot open the record database " + location + ": no instance name"};
  return OpenSqlite(location, who, options);
}

}  // namespace mx::records
