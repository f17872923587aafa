// The device actions on their own, as the command line runs them: the
// connect against the simulated bootloader on a pseudo-terminal.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "actions/DeviceActions.h"
#include "protocol/Frames.h"
#include "serial/EventLoop.h"
#include "sim/SimulatedBootloader.h"

namespace mx::test {
namespace {

using namespace std::chrono_literals;

struct CountingEvents : ActionEvents {
  int greetingsFailed = 0;
  void GreetingFailed() override { ++greetingsFailed; }
};

class DeviceActionsTest : public ::testing::Test {
 protected:
  ConnectResult Connect(int restartBursts) {
    sim::SimOptions options;
    options.doubleVersionReplies = restartBursts;
    device_ = std::make_unique<sim::SimulatedBootloader>(options);
    device_->Start();
    return actions_.Connect(PortSettings{device_->PortPath()}, 2s);
  }

  long VersionRequests() const {
    const auto frames = device_->Frames();
    return std::count_if(frames.begin(), frames.end(), [](const sim::ReceivedFrame& frame) {
      return std::equal(frame.raw.begin(), frame.raw.end(), kVersionFrame.begin(), kVersionFrame.end());
    });
  }

  EventQueue loop_;
  CountingEvents events_;
  DeviceActions actions_{loop_, events_};
  std::unique_ptr<sim::SimulatedBootloader> device_;
};

// The burst that asks for another greeting starts with a version reply:
// the connect greets again all the same.
TEST_F(DeviceActionsTest, ConnectGreetsAgainWhenTheDeviceAsks) {
  const ConnectResult result = Connect(1);
  EXPECT_EQ(result.ending, ConnectResult::Ending::Connected);
  EXPECT_EQ(result.restarts, 1);
  EXPECT_EQ(VersionRequests(), 2);
  EXPECT_TRUE(actions_.IsOpen());
  EXPECT_EQ(events_.greetingsFailed, 0);
}

TEST_F(DeviceActionsTest, ConnectGivesUpAtTheRestartBound) {
  const ConnectResult result = Connect(DeviceActions::kMaxGreetingRestarts + 2);
  EXPECT_EQ(result.ending, ConnectResult::Ending::GaveUp);
  EXPECT_EQ(result.restarts, DeviceActions::kMaxGreetingRestarts);
  EXPECT_EQ(VersionRequests(), 1 + DeviceActions::kMaxGreetingRestarts);
  EXPECT_FALSE(actions_.IsOpen());
  EXPECT_EQ(events_.greetingsFailed, 1);
}

}  // namespace
}  // namespace mx::test
