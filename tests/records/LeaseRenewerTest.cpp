#include <gtest/gtest.h>

#include <future>

#include "records/LeaseRenewer.h"
#include "records/RecordStore.h"

namespace mx::records {
namespace {

// A failed renewal is tried again; a long pause ends at once when the
// renewer goes (a hang here is the fault).
TEST(LeaseRenewerTest, RenewsAfterAFailureAndStopsAtOnce) {
  std::mutex mutex;
  int calls = 0;
  std::promise<void> renewedAgain;
  {
    LeaseRenewer renewer(mutex, std::chrono::milliseconds(1), [&] {
      if (++calls == 1) throw RecordStoreError("busy");
      if (calls == 2) renewedAgain.set_value();
    });
    renewedAgain.get_future().wait();
  }
  EXPECT_GE(calls, 2);
  LeaseRenewer idle(mutex, std::chrono::hours(1), [] { FAIL() << "renewed before its time"; });
}

}  // namespace
}  // namespace mx::records
