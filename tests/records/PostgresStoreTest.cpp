// The store on a PostgreSQL server shared by several stations: numbers never
// given twice, a newer schema refused, and passwords never shown.

#include <future>
#include <set>

#include "PostgresStoreFixture.h"

namespace mx::records {
namespace {

TEST_F(PostgresStoreTest, TwoStationsReservingAtOnceNeverShareANumber) {
  auto first = Open("first");
  auto second = Open("second");
  ASSERT_EQ(first->OpenPool("boards", {1, std::nullopt}), std::nullopt);
  ASSERT_EQ(second->OpenPool("boards", {1, std::nullopt}), std::nullopt);
  std::promise<void> go;
  std::shared_future<void> started = go.get_future().share();
  auto reserveMany = [this, started](RecordStore& store) {
    started.wait();
    std::vector<std::uint64_t> numbers;
    for (int turn = 0; turn < 40; ++turn) numbers.push_back(ReserveNumber(store));
    return numbers;
  };
  auto a = std::async(std::launch::async, reserveMany, std::ref(*first));
  auto b = std::async(std::launch::async, reserveMany, std::ref(*second));
  go.set_value();
  std::set<std::uint64_t> all;
  for (auto number : a.get()) all.insert(number);
  for (auto number : b.get()) all.insert(number);
  EXPECT_EQ(all.size(), 80u);
  EXPECT_EQ(*all.rbegin(), 80u);
}

TEST_F(PostgresStoreTest, ANewerSchemaIsRefused) {
  Open("first").reset();
  Admin("INSERT INTO " + schema_ + ".schema_version (version) VALUES (99)");
  const OpenedStore opened = OpenRecordStore(location_, {"station-1", "second"});
  EXPECT_EQ(opened.store, nullptr);
  EXPECT_NE(opened.error.find("schema version 99 is newer"), std::string::npos) << opened.error;
}

TEST_F(PostgresStoreTest, APasswordIsNeverShown) {
  const std::string secret = "Secr3tPw";
  OpenedStore opened = OpenRecordStore(location_ + " password=" + secret, {"station-1", "key-value"});
  ASSERT_NE(opened.store, nullptr) << opened.error;
  EXPECT_EQ(opened.store->Location().find(secret), std::string::npos) << opened.store->Location();
  EXPECT_NE(opened.store->Location().find("user=mx"), std::string::npos);

  const std::string hostAndPort = "host=" + ServerValue("host") + "&port=" + ServerValue("port");
  for (const std::string& location : {"postgresql://mx:" + secret + "@/no_such_database?" + hostAndPort,
                                      "host=/nonexistent user=mx password=" + secret + " dbname=mx_test",
                                      "postgresql://mx:" + secret + "@/mx_test?host=/nonexistent&password=" + secret}) {
    const OpenedStore failed = OpenRecordStore(location, {"station-1", "failing"});
    EXPECT_EQ(failed.store, nullptr);
    EXPECT_FALSE(failed.error.empty());
    EXPECT_EQ(failed.error.find(secret), std::string::npos) << failed.error;
  }
}

}  // namespace
}  // namespace mx::records
