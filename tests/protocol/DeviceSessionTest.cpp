// The device session on a real pseudo-terminal: the test plays the device on
// the master side, the owner loop is a real EventQueue.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "protocol/DeviceSession.h"
#include "protocol/Frames.h"
#include "support/Pty.h"

namespace mx {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

constexpr auto kPatience = 10s;  // far beyond any wait that succeeds
const Bytes kVersionReply{0x55, 0x55, 0x01, 0x00, 0x01, 0x01, 0xFD, 0x04};

// Records what the session tells its owner.
struct RecordingOwner : SessionOwner {
  bool raw = false;
  std::vector<ReceiveResult> parsed;
  std::vector<Bytes> rawChunks;
  std::vector<Reply> waitsEnded;
  int waitsStarted = 0;
  int lost = 0;

  std::optional<ReceiveOptions> HowToReceive() override {
    if (raw) return std::nullopt;
    return ReceiveOptions{};
  }
  void ChunkParsed(const ReceiveResult& result) override { parsed.push_back(result); }
  void ChunkShownRaw(std::span<const std::uint8_t> chunk) override {
    rawChunks.emplace_back(chunk.begin(), chunk.end());
  }
  void WaitStarted() override { ++waitsStarted; }
  void WaitEnded(Reply reply) override { waitsEnded.push_back(reply); }
  void PortLost() override { ++lost; }
};

class DeviceSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session_.Port().SetXonChar('~');  // as the window sets them
    session_.Port().SetXoffChar('}');
    session_.Open(pty_.SlavePath());
  }

  bool HandleEventsUntil(const std::function<bool()>& done) {
    const Clock::time_point deadline = Clock::now() + kPatience;
    while (!done() && Clock::now() < deadline) loop_.WaitForEvents(deadline);
    return done();
  }

  EventQueue loop_;
  test::Pty pty_;
  RecordingOwner owner_;
  DeviceSession session_{loop_, owner_};
};

TEST_F(DeviceSessionTest, ARepliedFrameEndsTheWaitAndEveryLaterChunkClearsTheReply) {
  ASSERT_TRUE(session_.Send(kVersionFrame));
  ASSERT_EQ(pty_.Read(kVersionFrame.size(), kPatience), Bytes(kVersionFrame.begin(), kVersionFrame.end()));
  session_.Arm();
  pty_.Write(kVersionReply);
  EXPECT_EQ(session_.WaitForReply(kPatience), Reply::Version);
  EXPECT_EQ(owner_.waitsStarted, 1);
  EXPECT_EQ(owner_.waitsEnded, std::vector<Reply>{Reply::Version});

  pty_.Write({'n', 'o', 'i', 's', 'e'});
  ASSERT_TRUE(HandleEventsUntil([&] { return owner_.parsed.size() == 2; }));
  EXPECT_EQ(session_.LastReply(), Reply::None);
}

TEST_F(DeviceSessionTest, SilenceEndsTheWaitAsATimeOut) {
  EXPECT_EQ(session_.WaitForReply(0s), Reply::TimedOut);
  EXPECT_EQ(session_.WaitForReply(50ms), Reply::TimedOut);
  EXPECT_EQ(owner_.waitsEnded, (std::vector<Reply>{Reply::TimedOut, Reply::TimedOut}));
  EXPECT_FALSE(session_.Lost());
}

TEST_F(DeviceSessionTest, AVanishedPortEndsTheWaitAtOnceAndIsToldOnce) {
  EXPECT_EQ(session_.LossReason(), PortError{});
  pty_.Close();  // the adapter is pulled
  EXPECT_EQ(session_.WaitForReply(kPatience), Reply::PortLost) << "not a time-out";
  EXPECT_TRUE(session_.Lost());
  EXPECT_EQ(owner_.lost, 1);
  EXPECT_EQ(session_.LossReason().kind, PortErrorKind::DeviceGone);
  EXPECT_EQ(session_.WaitForReply(kPatience), Reply::PortLost);
  session_.Close();
  EXPECT_FALSE(session_.IsOpen());
  EXPECT_EQ(owner_.lost, 1);
  EXPECT_EQ(session_.LossReason().kind, PortErrorKind::DeviceGone) << "kept until the next open";
}

TEST_F(DeviceSessionTest, CloseLetsQueuedFramesLeaveFirst) {
  Bytes expected;
  for (const auto& frame : {std::span<const std::uint8_t>(kEraseFrame), std::span<const std::uint8_t>(kEndFrame),
                            std::span<const std::uint8_t>(kVersionFrame)}) {
    ASSERT_TRUE(session_.Send(frame));
    expected.insert(expected.end(), frame.begin(), frame.end());
  }
  session_.Close();  // at once, without waiting for anything first
  EXPECT_FALSE(session_.LastCloseLostFrames());
  EXPECT_EQ(pty_.Read(expected.size(), kPatience), expected);
}

TEST_F(DeviceSessionTest, CloseUnderALongXoffDiscardsTheFramesAndSaysSo) {
  pty_.Write({'}', '!'});  // XOFF, then a marker: once it is in, our output is held
  ASSERT_TRUE(HandleEventsUntil([&] { return !owner_.parsed.empty(); }));
  ASSERT_TRUE(session_.Send(kEndFrame));
  session_.Close();
  EXPECT_TRUE(session_.LastCloseLostFrames());
  EXPECT_FALSE(session_.IsOpen());
  EXPECT_TRUE(pty_.Read(1, 100ms).empty()) << "nothing reached the line";
}

TEST_F(DeviceSessionTest, RawChunksPassTheParserBySoAWaitInThatModeEndsInATimeOut) {
  owner_.raw = true;
  session_.Arm();
  pty_.Write(kVersionReply);
  EXPECT_EQ(session_.WaitForReply(1s), Reply::TimedOut);
  ASSERT_TRUE(HandleEventsUntil([&] { return !owner_.rawChunks.empty(); }));
  EXPECT_EQ(owner_.rawChunks.front(), kVersionReply);
  EXPECT_TRUE(owner_.parsed.empty());
}

}  // namespace
}  // namespace mx
