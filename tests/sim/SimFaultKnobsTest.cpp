// The fault knobs and the line emulation, each doing what it says, over a
// real pseudo-terminal.

#include <gtest/gtest.h>

#include <filesystem>

#include "HostPort.h"
#include "sim/LineEmulation.h"
#include "sim/SimulatedBootloader.h"

namespace mx::sim::test {
namespace {

// One-byte blocks at 0x0000, 0x0100 and 0x0200 (data 11, 22, 33).
const Bytes kBlock1 = Hex("55 55 02 01 00 00 00 11 EC 04");
const Bytes kBlock2 = Hex("55 55 02 01 00 01 00 22 DA 04");
const Bytes kBlock3 = Hex("55 55 02 01 00 02 00 33 C8 04");

class SimFaultKnobs : public ::testing::Test {
 protected:
  void Start(SimOptions options) {
    sim_ = std::make_unique<SimulatedBootloader>(std::move(options));
    sim_->Start();
    port_ = std::make_unique<HostPort>(sim_->PortPath());
  }
  Bytes Send(const Bytes& frame, std::size_t replyLength = 7) { return port_->Exchange(frame, replyLength); }
  bool Stored(std::uint32_t address) const { return sim_->Memory().count(address) == 1; }
  // Nothing else was sent before the answer to this request.
  void ExpectNothingPending() { EXPECT_EQ(Send(kVersionRequest, kDefaultVersionReply.size()), kDefaultVersionReply); }

  std::unique_ptr<SimulatedBootloader> sim_;
  std::unique_ptr<HostPort> port_;
};

TEST_F(SimFaultKnobs, RefuseBlockRefusesBlockKNTimesThenStoresIt) {
  SimOptions options;
  options.refuseBlock = {{2, 2}};
  Start(options);
  EXPECT_EQ(Send(kEraseFrame), kEraseAccepted);
  EXPECT_EQ(Send(kBlock1), kWriteAccepted);
  EXPECT_EQ(Send(kBlock2), kWriteRefused);
  EXPECT_EQ(Send(kBlock2), kWriteRefused);
  EXPECT_FALSE(Stored(0x0100));
  EXPECT_EQ(Send(kBlock2), kWriteAccepted);
  EXPECT_TRUE(Stored(0x0100));
  EXPECT_EQ(Send(kBlock3), kWriteAccepted);
  // The refusals are spent: after a new erase, block 2 goes through.
  EXPECT_EQ(Send(kEraseFrame), kEraseAccepted);
  EXPECT_EQ(Send(kBlock1), kWriteAccepted);
  EXPECT_EQ(Send(kBlock2), kWriteAccepted);
}

TEST_F(SimFaultKnobs, DropReplyLosesOnlyTheFirstReplyToBlockK) {
  SimOptions options;
  options.dropReplyToBlock = 2;
  Start(options);
  EXPECT_EQ(Send(kBlock1), kWriteAccepted);
  port_->Write(kBlock2);
  ExpectNothingPending();
  EXPECT_TRUE(Stored(0x0100));  // stored, only the reply was lost
  EXPECT_EQ(Send(kBlock2), kWriteAccepted);
  EXPECT_EQ(Send(kEraseFrame), kEraseAccepted);
  EXPECT_EQ(Send(kBlock1), kWriteAccepted);
  EXPECT_EQ(Send(kBlock2), kWriteAccepted);
}

TEST_F(SimFaultKnobs, RefuseEraseRefusesTheFirstNErasesAndKeepsMemory) {
  SimOptions options;
  options.refuseErase = 2;
  Start(options);
  EXPECT_EQ(Send(kBlock1), kWriteAccepted);
  EXPECT_EQ(Send(kEraseFrame), kEraseRefused);
  EXPECT_EQ(Send(kEraseFrame), kEraseRefused);
  EXPECT_TRUE(Stored(0x0000));
  EXPECT_EQ(Send(kEraseFrame), kEraseAccepted);
  EXPECT_TRUE(sim_->Memory().empty());
  EXPECT_EQ(sim_->EraseCount(), 3);
}

TEST_F(SimFaultKnobs, NoiseComesBeforeEveryReply) {
  SimOptions options;
  options.noiseBeforeReplies = Hex("12 34 00");
  Start(options);
  EXPECT_EQ(Send(kVersionRequest, 3 + kDefaultVersionReply.size()), Concat({Hex("12 34 00"), kDefaultVersionReply}));
  EXPECT_EQ(Send(kBlock1, 3 + kWriteAccepted.size()), Concat({Hex("12 34 00"), kWriteAccepted}));
}

TEST_F(SimFaultKnobs, SplitRepliesGoOutByteByByteWithTheGap) {
  SimOptions options;
  options.splitReplyGap = 15ms;
  Start(options);
  const auto before = Clock::now();
  EXPECT_EQ(Send(kVersionRequest, kDefaultVersionReply.size()), kDefaultVersionReply);
  // 14 bytes: 13 gaps between the first and the last.
  EXPECT_GE(Clock::now() - before, 13 * 15ms);
}

TEST_F(SimFaultKnobs, XoffAfterBlockKHoldsTheLineThenReleasesIt) {
  SimOptions options;
  options.xoffAfterBlock = 2;
  options.xoffHold = 100ms;
  Start(options);
  EXPECT_EQ(Send(kBlock1), kWriteAccepted);
  const auto before = Clock::now();
  EXPECT_EQ(Send(kBlock2, kWriteAccepted.size() + 1), Concat({kWriteAccepted, Hex("7D")}));
  EXPECT_EQ(port_->Read(1), Hex("7E"));
  EXPECT_GE(Clock::now() - before, 100ms);
  EXPECT_EQ(Send(kBlock3), kWriteAccepted);
  ExpectNothingPending();
}

TEST_F(SimFaultKnobs, SilentDeviceReceivesButNeverAnswers) {
  SimOptions options;
  options.silent = true;
  Start(options);
  port_->Write(kVersionRequest);
  port_->Write(kBlock1);
  ASSERT_TRUE(sim_->WaitForFrames(2, 2s));
  EXPECT_TRUE(port_->StaysQuiet(150ms));
  EXPECT_EQ(sim_->VersionRequestCount(), 1);
}

TEST_F(SimFaultKnobs, DoubleVersionAnswersTheFirstNRequestsWithTwoFramesInOneWrite) {
  SimOptions options;
  options.doubleVersionReplies = 2;
  Start(options);
  const Bytes doubleReply = Hex("55 55 01 00 01 01 FD 04 55 55 01 01 FE 04");
  for (int i = 0; i < 2; ++i) {
    port_->Write(kVersionRequest);
    EXPECT_EQ(port_->ReadChunk(2s), doubleReply);  // one read gets both frames
  }
  EXPECT_EQ(Send(kVersionRequest, kDefaultVersionReply.size()), kDefaultVersionReply);
}

TEST_F(SimFaultKnobs, PowerOnSendsOneFrameUnasked) {
  const struct {
    const char* name;
    bool badChecksum;
    Bytes frame;
  } cases[] = {
      {"version reply", false, kDefaultVersionReply},
      {"wrong checksum", true, Hex("55 55 01 00 01 01 01 02 03 01 02 00 F5 04")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimOptions options;
    options.powerOnAfter = 50ms;  // from the host's open
    options.powerOnBadChecksum = c.badChecksum;
    Start(options);
    EXPECT_EQ(port_->Read(c.frame.size()), c.frame);
    ExpectNothingPending();  // only once
  }
}

TEST_F(SimFaultKnobs, PowerOnOnRequestSendsTheFrameAtOnce) {
  Start({});
  ExpectNothingPending();  // the host is there; the device stays quiet
  sim_->PowerOn();
  EXPECT_EQ(port_->Read(kDefaultVersionReply.size()), kDefaultVersionReply);
  ExpectNothingPending();
}

// With a latency timer the replies come only at its ticks, in order.
TEST(TransmitLineLatency, ReleasesEveryUnitAtTheTimersNextTick) {
  constexpr auto kTick = std::chrono::milliseconds(16);
  TransmitLine line(0, {}, {}, kTick);
  const Clock::time_point now = Clock::now();
  line.Schedule({Output{Output::Kind::Reply, {0x55}, {}, "first"}, Output{Output::Kind::Reply, {0x04}, 5ms, "second"}},
                now);
  std::vector<Clock::time_point> due;
  while (const TransmitUnit* unit = line.Next()) {
    due.push_back(unit->due);
    line.PopNext();
  }
  ASSERT_EQ(due.size(), 2u);
  for (const Clock::time_point at : due) {
    EXPECT_EQ(at.time_since_epoch() % kTick, Clock::duration::zero());
    EXPECT_GE(at, now);
    EXPECT_LT(at, now + 5ms + kTick);
  }
  EXPECT_LE(due[0], due[1]);
}

TEST_F(SimFaultKnobs, HangUpAfterBlockKClosesThePortAndUnpublishesIt) {
  const struct {
    const char* name;
    bool hostWritesAgain;  // else the device goes after its grace time
  } cases[] = {{"host writes again", true}, {"host stays quiet", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    SimOptions options;
    options.hangUpAfterBlock = 2;
    Start(options);
    sim_->Publish(dir.Path().string(), "sim0");
    ASSERT_TRUE(std::filesystem::is_symlink(dir.File("sim0")));
    EXPECT_EQ(Send(kBlock1), kWriteAccepted);
    EXPECT_EQ(Send(kBlock2), kWriteAccepted);  // the reply still goes out
    if (c.hostWritesAgain) port_->Write(kBlock3);
    EXPECT_TRUE(port_->SeesHangUp(2s));
    EXPECT_TRUE(sim_->HungUp());
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir.File("sim0"))));
    EXPECT_FALSE(Stored(0x0200));
    EXPECT_EQ(sim_->Frames().size(), 2u);
  }
}

TEST(SimOptionsCheck, RefusesBytesTheHostWouldTakeAsFlowControl) {
  const struct {
    const char* name;
    void (*change)(SimOptions&);
    const char* mentions;
  } cases[] = {
      {"major", [](SimOptions& o) { o.major = 0x7D; }, "XOFF"},
      {"minor", [](SimOptions& o) { o.minor = 0x7E; }, "XON"},
      {"version byte", [](SimOptions& o) { o.versionBytes[2] = 0x7D; }, "XOFF"},
      // body 01 00 01 01 80 00.. sums to 83: checksum 7D
      {"checksum", [](SimOptions& o) { o.versionBytes = {0x80, 0, 0, 0, 0, 0}; }, "checksum"},
      {"noise",
       [](SimOptions& o) {
         o.noiseBeforeReplies = {0x00, 0x7E};
       },
       "XON"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimOptions options;
    c.change(options);
    EXPECT_NE(CheckOptions(options).find(c.mentions), std::string::npos) << CheckOptions(options);
    EXPECT_THROW(SimulatedBootloader{options}, std::invalid_argument);
  }
  EXPECT_EQ(CheckOptions(SimOptions{}), "");
}

TEST(SimLine, BaudRatePacesWhatIsReceivedAndWhatIsSent) {
  SimOptions options;
  options.baud = 2400;  // 4.17 ms a byte
  const auto byteTime = std::chrono::microseconds(4166);
  SimulatedBootloader sim(options);
  sim.Start();
  HostPort port(sim.PortPath());
  const auto before = Clock::now();
  EXPECT_EQ(port.Exchange(kWorkedExample, kWriteAccepted.size()), kWriteAccepted);
  const auto replied = Clock::now();
  ASSERT_EQ(sim.Frames().size(), 1u);
  EXPECT_GE(sim.Frames()[0].at - before, 29 * byteTime);  // the frame's 29 bytes
  EXPECT_GE(replied - before, (29 + 7) * byteTime);       // plus the reply's 7
}

TEST(SimLine, FlashWriteTimeDelaysTheBlockReply) {
  SimOptions options;
  options.flashWriteTime = 80ms;
  SimulatedBootloader sim(options);
  sim.Start();
  HostPort port(sim.PortPath());
  const auto before = Clock::now();
  EXPECT_EQ(port.Exchange(kWorkedExample, kWriteAccepted.size()), kWriteAccepted);
  EXPECT_GE(Clock::now() - before, 80ms);
}

}  // namespace
}  // namespace mx::sim::test
