// Several stations on one file as processes, some of them killed: no number
// is ever held by two boards.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "PoolStation.h"

namespace mx::records {
namespace {

class PoolProcessTest : public PoolTest {
 protected:
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

TEST_F(PoolProcessTest, TwoStationProcessesNeverShareANumber) {
  std::vector<pid_t> children;
  for (const std::string instance : {"instance-1", "instance-2"}) {
    children.push_back(Fork([&] { RunStation(*Open(instance), instance, 30); }));
  }
  for (pid_t child : children) EXPECT_EQ(ExitStatus(child), 0);
  EXPECT_EQ(PassedNumbers(), OneTo(30));
}

TEST_F(PoolProcessTest, AKilledStationsNumberComesBackWhenItsLeaseIsGone) {
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

TEST_F(PoolProcessTest, AStationKilledAnywhereLeavesNoDuplicate) {
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
