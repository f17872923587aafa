// Several stations on one file as threads: no number is ever held by two
// boards.

#include <set>
#include <thread>

#include "PoolStation.h"

namespace mx::records {
namespace {

class PoolConcurrencyTest : public PoolTest {};

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

}  // namespace
}  // namespace mx::records
