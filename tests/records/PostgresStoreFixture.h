#pragma once

// A schema of its own on the test server for each test, and its spools in a
// folder of its own; the server is named by MX_PG_TEST_DB.

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "records/RecordStore.h"
#include "support/TempDir.h"

namespace mx::records {

using Status = ReserveResult::Status;

// Where this platform's stores keep their spools, for this process.
void PointDataHomeAt(const std::filesystem::path& folder);

// Each test has a schema of its own on the shared server, and its spools
// in a folder of its own.
class PostgresStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* server = std::getenv("MX_PG_TEST_DB");
    ASSERT_NE(server, nullptr) << "MX_PG_TEST_DB names the test server";
    server_ = server;
    schema_ = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::transform(schema_.begin(), schema_.end(), schema_.begin(), ::tolower);
    admin_ = PQconnectdb(server_.c_str());
    ASSERT_EQ(PQstatus(admin_), CONNECTION_OK) << PQerrorMessage(admin_);
    Admin("DROP SCHEMA IF EXISTS " + schema_ + " CASCADE");
    Admin("CREATE SCHEMA " + schema_);
    location_ = server_ + " options='-csearch_path=" + schema_ + "'";
    PointDataHomeAt(dataHome_.Path());
  }
  void TearDown() override { PQfinish(admin_); }

  // A statement on an administrator's session of its own; the first value.
  std::string Admin(const std::string& statement) {
    if (PQstatus(admin_) != CONNECTION_OK) PQreset(admin_);
    PGresult* result = PQexec(admin_, statement.c_str());
    const ExecStatusType status = PQresultStatus(result);
    EXPECT_TRUE(status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) << statement << ": " << PQerrorMessage(admin_);
    const std::string value = PQntuples(result) > 0 ? PQgetvalue(result, 0, 0) : "";
    PQclear(result);
    return value;
  }
  // A value of the test server's connection string.
  std::string ServerValue(const std::string& key) const {
    std::string value;
    PQconninfoOption* options = PQconninfoParse(server_.c_str(), nullptr);
    for (PQconninfoOption* option = options; option && option->keyword; ++option) {
      if (key == option->keyword && option->val) value = option->val;
    }
    PQconninfoFree(options);
    return value;
  }
  std::unique_ptr<RecordStore> Open(const std::string& instance, const StoreOptions& options = {}) {
    OpenedStore opened = OpenRecordStore(location_, {"station-1", instance}, options);
    EXPECT_NE(opened.store, nullptr) << opened.error;
    return std::move(opened.store);
  }
  std::uint64_t ReserveNumber(RecordStore& store) {
    const ReserveResult result = store.Reserve("boards");
    EXPECT_EQ(result.status, Status::Reserved) << result.message;
    return result.reservation.number;
  }

  std::string server_;
  std::string schema_;
  std::string location_;
  PGconn* admin_ = nullptr;
  test::TempDir dataHome_;
};

}  // namespace mx::records
