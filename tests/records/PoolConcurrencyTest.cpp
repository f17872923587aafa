// Several stations on one file, as threads and as processes, some of them
// killed: no number is ever held by two boards.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <thread>

#include "records/RecordStore.h"
#include "support/TempDir.h"

namespace mx::records {
namespace {

// Reserves `count` numbers and records a board for each: odd turns fail and
// give their number back. Returns the numbers its passed boards kept.
std::vector<std::uint64_t> RunStation(RecordStore& store, const std::string& slot, int count) {
  std::vector<std::uint64_t> kept;
  for (int turn = 0; turn < count; ++turn) {
    const ReserveResult reserved = store.Reserve("boards");
    if (reserved.status != ReserveResult::Status::Reserved) throw RecordStoreError(reserved.message);
    BoardRecord board;
    board.instance = slot;
    board.slot = slot;
    board.started = std::to_string(1000 + turn);
    board.result = turn % 2 == 0 ? kPassedResult : "port-failed";
    store.Finish(board, reserved.reservation);
    if (turn % 2 == 0) kept.push_back(reserved.reservation.number);
  }
  return kept;
}

class PoolConcurrencyTest : public ::testing::Test {
 protected:
  std::unique_ptr<RecordStore> Open(const std::string& instance, const StoreOptions& options = {}) {
    OpenedStore opened = OpenRecordStore(file_, {"station-1", instance}, options);
    if (!opened.store) throw RecordStoreError(opened.error);
    return std::move(opened.store);
  }
  void SetUp() override { EXPECT_EQ(Open("setup")->OpenPool("boards", {1, std::nullopt}), std::nullopt); }

  // The serial numbers of the passed boards, each once, lowest first.
  std::vector<std::uint64_t> PassedNumbers() {
    std::vector<std::uint64_t> numbers;
    RecordQuery passed;
    passed.result = kPassedResult;
    for (const auto& board : Open("check")->Find(passed)) numbers.push_back(board.serial.value());
    std::sort(numbers.begin(), numbers.end());
    return numbers;
  }
  static std::vector<std::uint64_t> OneTo(std::uint64_t last) {
    std::vector<std::uint64_t> numbers;
    for (std::uint64_t n = 1; n <= last; ++n) numbers.push_back(n);
    return numbers;
  }

  // Runs `body` in a child process, which ends with it (2 when it throws).
  template <typename Body>
  static pid_t Fork(Body body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      try {
        body();
      } catch (...) {
        ::_exit(2);
      }
      ::_exit(0);
    }
    return pid;
  }

  test::TempDir dir_;
  std::string file_ = (dir_.Path() / "records.sqlite").string();
};

StoreOptions LeasesGone() {
  StoreOptions options;
  options.clock = [] { return std::chrono::system_clock::now() + std::chrono::hours(1); };
  return options;
}

int ExitStatus(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

TEST_F(PoolConcurrencyTest, TwoStoresInThreadsNeverShareANumber) {
  auto first = Open("instance-1");
  auto second = Open("instance-2");
  std::vector<std::uint64_t> keptByFirst;
  std::thread other([&] { keptByFirst = RunStation(*first, "a", 40); });
  const auto keptBySecond = RunStation(*second, "b", 40);
  other.join();
  std::set<std::uint64_t> kept(keptByFirst.begin(), keptByFirst.end());
  kept.insert(keptBySecond.begin(), keptBySecond.end());
  EXPECT_EQ(kept.size(), 40u);
  EXPECT_EQ(PassedNumbers(), OneTo(40));
}

TEST_F(PoolConcurrencyTest, TwoStationProcessesNeverShareANumber) {
  std::vector<pid_t> children;
  for (const std::string instance : {"instance-1", "instance-2"}) {
    children.push_back(Fork([&] { RunStation(*Open(instance), instance, 30); }));
  }
  for (pid_t child : children) EXPECT_EQ(ExitStatus(child), 0);
  EXPECT_EQ(PassedNumbers(), OneTo(30));
}

TEST_F(PoolConcurrencyTest, AKilledStationsNumberComesBackWhenItsLeaseIsGone) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  int hold[2];
  ASSERT_EQ(::pipe(hold), 0);
  const pid_t child = Fork([&] {
    auto store = Open("killed");
    const std::uint64_t number = store->Reserve("boards").reservation.number;
    ::write(ends[1], &number, sizeof number);
    char never;
    ::read(hold[0], &never, 1);  // held here until killed
  });
  ::close(ends[1]);
  std::uint64_t held = 0;
  ASSERT_EQ(::read(ends[0], &held, sizeof held), static_cast<ssize_t>(sizeof held));
  EXPECT_EQ(Open("alive")->Reserve("boards").reservation.number, held + 1);
  ::kill(child, SIGKILL);
  EXPECT_TRUE(WIFSIGNALED(ExitStatus(child)));
  EXPECT_EQ(Open("later", LeasesGone())->Reserve("boards").reservation.number, held);
  ::close(ends[0]);
  ::close(hold[0]);
  ::close(hold[1]);
}

TEST_F(PoolConcurrencyTest, AStationKilledAnywhereLeavesNoDuplicate) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  const pid_t child = Fork([&] {
    auto store = Open("killed");
    for (int turn = 0;; ++turn) {
      const std::uint64_t number = RunStation(*store, "slot-" + std::to_string(turn), 1).front();
      ::write(ends[1], &number, sizeof number);
    }
  });
  ::close(ends[1]);
  std::uint64_t number = 0;
  for (int i = 0; i < 20; ++i) ASSERT_EQ(::read(ends[0], &number, sizeof number), static_cast<ssize_t>(sizeof number));
  ::kill(child, SIGKILL);
  EXPECT_TRUE(WIFSIGNALED(ExitStatus(child)));
  ::close(ends[0]);

  const auto passed = PassedNumbers();
  ASSERT_GE(passed.size(), 20u);
  EXPECT_EQ(passed, OneTo(passed.size()));
  EXPECT_EQ(Open("later", LeasesGone())->Reserve("boards").reservation.number, passed.size() + 1);
}

}  // namespace
}  // namespace mx::records
