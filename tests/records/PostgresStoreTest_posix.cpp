// The store on PostgreSQL where the tests can kill a station's process and
// stop the server: a gone station's numbers given back, a lost server's
// boards kept and sent once.

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <tuple>

#include "PostgresStoreFixture.h"
#include "support/TestBoard.h"

namespace mx::records {

void PointDataHomeAt(const std::filesystem::path& folder) { setenv("XDG_DATA_HOME", folder.c_str(), 1); }

namespace {

using test::TestBoard;

// Runs the server's script: "pause" or "resume".
void Server(const char* action) {
  char command[1024];
  std::snprintf(command, sizeof command, MX_PG_TEST_SERVER, action);
  ASSERT_EQ(std::system(command), 0) << command;
}

TEST_F(PostgresStoreTest, AKilledStationsNumberComesBackAndALiveOnesNever) {
  Open("setup")->OpenPool("boards", {1, std::nullopt});
  int numbers[2];
  int hold[2];
  ASSERT_EQ(pipe(numbers), 0);
  ASSERT_EQ(pipe(hold), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Reserves, says which number, and holds it until killed.
    OpenedStore opened = OpenRecordStore(location_, {"station-2", "child"});
    const std::uint64_t number = opened.store ? opened.store->Reserve("boards").reservation.number : 0;
    (void)!write(numbers[1], &number, sizeof number);
    char never;
    (void)!read(hold[0], &never, 1);
    _exit(0);
  }
  std::uint64_t held = 0;
  ASSERT_EQ(read(numbers[0], &held, sizeof held), static_cast<ssize_t>(sizeof held));
  ASSERT_EQ(held, 1u);

  // Its lease looks lapsed from an hour ahead; its session still holds its
  // lock. (A short lease here: the fresh server's grace after its start.)
  StoreOptions later;
  later.clock = [] { return std::chrono::system_clock::now() + std::chrono::hours(1); };
  later.leaseLength = std::chrono::milliseconds(1);
  auto store = Open("parent", later);
  EXPECT_EQ(ReserveNumber(*store), 2u);

  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  // The server has ended the child's session once its lock can be taken.
  Admin("SELECT pg_advisory_lock(7410, hashtext('child'))");
  Admin("SELECT pg_advisory_unlock(7410, hashtext('child'))");
  EXPECT_EQ(ReserveNumber(*store), 1u);
  close(numbers[0]);
  close(numbers[1]);
  close(hold[0]);
  close(hold[1]);
}

TEST_F(PostgresStoreTest, ABoardFinishedWhileTheServerIsDownArrivesOnceWhenItIsBack) {
  auto store = Open("line-1");
  ASSERT_EQ(store->OpenPool("boards", {1, std::nullopt}), std::nullopt);
  const std::uint64_t number = ReserveNumber(*store);
  BoardRecord board = TestBoard("a");
  board.serial = number;
  board.keyId = "E0A1B2C3D4F56789";
  board.trustedComment = "timestamp:1765400000";

  Server("pause");
  const ReserveResult refused = store->Reserve("boards");
  EXPECT_EQ(refused.status, Status::Unreachable);
  EXPECT_NE(refused.message.find("cannot be reached"), std::string::npos) << refused.message;
  EXPECT_NO_THROW(store->Finish(board, Reservation{"boards", number}));
  EXPECT_NO_THROW(store->Finish(TestBoard("b", "2026-12-09T10:00:00.000Z", "port-failed"), std::nullopt));
  EXPECT_THROW(store->Find({}), RecordStoreError);
  Server("resume");

  // Sent in order on the next call; a repeated commit records nothing more.
  const auto boards = store->Find({});
  ASSERT_EQ(boards.size(), 2u);
  EXPECT_EQ(boards[0].slot, "a");
  EXPECT_EQ(boards[0].serial, number);
  EXPECT_EQ(std::tie(boards[0].keyId, boards[0].trustedComment), std::tie(board.keyId, board.trustedComment));
  store->Finish(board, Reservation{"boards", number});
  EXPECT_EQ(store->Find({}).size(), 2u);
  EXPECT_EQ(ReserveNumber(*store), number + 1);
}

// A place of a count kept while the server is away reaches it before the
// station's next instance, or any other, could take the first one for gone.
TEST_F(PostgresStoreTest, ACountsPlaceKeptWhileTheServerIsAwayIsNeverGivenAgain) {
  auto store = Open("line-1");
  ASSERT_EQ(store->OpenPool("package", {1, 3}), std::nullopt);
  const Reservation kept{"package", store->Reserve("package").reservation.number};
  const Reservation givenBack{"package", store->Reserve("package").reservation.number};
  Server("pause");
  EXPECT_NO_THROW(store->SettleCount(kept, true));
  EXPECT_NO_THROW(store->SettleCount(givenBack, false));
  Server("resume");
  EXPECT_EQ(store->Reserve("package").reservation.number, givenBack.number);

  Server("pause");
  store->SettleCount({"package", givenBack.number}, true);
  store.reset();
  Server("resume");
  // line-1 is gone for this one, and both its places with it.
  StoreOptions later;
  later.clock = [] { return std::chrono::system_clock::now() + std::chrono::hours(1); };
  later.leaseLength = std::chrono::milliseconds(1);
  auto next = Open("line-2", later);
  EXPECT_EQ(next->Reserve("package").reservation.number, 3u);
  EXPECT_EQ(next->Reserve("package").status, Status::Exhausted);
}

TEST_F(PostgresStoreTest, AfterARestartAStationHasALeaseLongToComeBack) {
  StoreOptions quiet;
  quiet.renewEvery = std::chrono::hours(1);
  auto away = Open("away", quiet);
  ASSERT_EQ(away->OpenPool("boards", {1, std::nullopt}), std::nullopt);
  ASSERT_EQ(ReserveNumber(*away), 1u);
  Server("pause");
  Server("resume");
  // Its session is gone and, an hour ahead, its lease too; but the server
  // has not been up for a lease's length.
  StoreOptions later;
  later.clock = [] { return std::chrono::system_clock::now() + std::chrono::hours(1); };
  later.leaseLength = std::chrono::minutes(10);
  EXPECT_EQ(ReserveNumber(*Open("other", later)), 2u);
}

TEST_F(PostgresStoreTest, TheSpoolIsSentWhenTheNextStoreOpens) {
  auto store = Open("line-1");
  Server("pause");
  store->Finish(TestBoard("a", "2026-12-09T10:00:00.000Z", "port-failed"), std::nullopt);
  store.reset();
  Server("resume");
  EXPECT_EQ(Open("line-2")->Find({}).size(), 1u);
}

}  // namespace
}  // namespace mx::records
