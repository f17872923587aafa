// The update transfer on its own, without the window: a device session on
// the simulated bootloader's pseudo-terminal, a firmware image, and what the
// transfer reports.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "protocol/DeviceSession.h"
#include "protocol/Handshake.h"
#include "sim/SimulatedBootloader.h"
#include "support/HexWriter.h"
#include "support/QuietOwner.h"
#include "support/TempDir.h"
#include "update/FirmwareImage.h"
#include "update/Transfer.h"

namespace mx::test {
namespace {

using namespace std::chrono_literals;
using Ending = TransferOutcome::Ending;

class TransferTest : public ::testing::Test {
 protected:
  // Opens the session on a new device and greets it, unless it is silent.
  void StartDevice(sim::SimOptions options = {}) {
    device_ = std::make_unique<sim::SimulatedBootloader>(options);
    device_->Start();
    session_.Open(device_->PortPath());
    if (!options.silent) {
      ASSERT_EQ(GreetBootloader(session_, 2s).reply, Reply::Version);
    }
    greetingFrames_ = device_->Frames().size();
    greetingBytes_ = device_->ReceivedBytes().size();
    session_.Arm();
  }

  // What the device received after the greeting.
  std::vector<std::uint8_t> ReceivedAfterGreeting() const {
    const std::vector<std::uint8_t> all = device_->ReceivedBytes();
    return {all.begin() + static_cast<std::ptrdiff_t>(greetingBytes_), all.end()};
  }

  std::shared_ptr<const FirmwareImage> Image(const std::string& text) {
    path_ = dir_.Write("image.hex", text).string();
    const ImageReading reading = ReadFirmwareFile(path_, [](std::string_view) { return "digest of the image read"; });
    EXPECT_TRUE(reading.image) << reading.refusal;
    return reading.image;
  }

  TransferOutcome Run(const FirmwareImage& image, TransferPlan plan = {}) {
    plan.replyTimeout = 2s;
    return RunTransfer(session_, image, plan, [this](const TransferProgress& p) { progress_.push_back(p); });
  }

  // The command codes the device received after the greeting.
  std::vector<int> Commands() const {
    std::vector<int> codes;
    const auto frames = device_->Frames();
    for (std::size_t i = greetingFrames_; i < frames.size(); ++i) {
      codes.push_back(frames[i].body.empty() ? -1 : frames[i].body[0]);
    }
    return codes;
  }

  TempDir dir_;
  std::string path_;
  EventQueue loop_;
  QuietOwner owner_;
  DeviceSession session_{loop_, owner_};
  std::vector<TransferProgress> progress_;  // one per data record
  std::size_t greetingFrames_ = 0;
  std::size_t greetingBytes_ = 0;
  std::unique_ptr<sim::SimulatedBootloader> device_;
};

TEST_F(TransferTest, WritesTheImageAndCountsWhatItDid) {
  sim::SimOptions options;
  options.refuseErase = 1;
  options.refuseBlock = {{2, 1}};
  StartDevice(options);
  const auto image = Image(HexImage().Bytes(0, Pattern(600)).End().Text());
  const TransferOutcome outcome = Run(*image);

  EXPECT_EQ(outcome.ending, Ending::Written);
  EXPECT_EQ(outcome.lastReply, Reply::WriteAccepted);
  EXPECT_TRUE(outcome.wentThrough);
  EXPECT_EQ(outcome.blocksWritten, 3);
  EXPECT_EQ(outcome.refusals, 2);
  EXPECT_EQ(outcome.progress.bytes, 600u);
  EXPECT_EQ(outcome.progress.bytesTotal, 600u);
  EXPECT_EQ(outcome.imageDigest, "digest of the image read");  // what was sent, for the record
  ASSERT_EQ(progress_.size(), 38u);                            // one per data record
  EXPECT_EQ(progress_.back().records, 38);
  EXPECT_EQ(progress_.back().recordsTotal, 38);

  session_.Close();  // the end frame and the version request leave first
  EXPECT_FALSE(session_.LastCloseLostFrames());
  ASSERT_TRUE(device_->WaitForFrames(greetingFrames_ + 8, 5s));
  // Erase refused and sent again; block 2 refused and sent again.
  EXPECT_EQ(Commands(), (std::vector<int>{0x03, 0x03, 0x02, 0x02, 0x02, 0x02, 0x01, 0x00}));
  std::string why;
  EXPECT_TRUE(device_->MatchesHexFile(path_, &why)) << why;
}

// A block of 255 bytes would carry the length byte FF, which says 256.
TEST_F(TransferTest, ABlockOf255BytesGoesOutAs254AndThen1) {
  StartDevice();
  const std::vector<std::uint8_t> data = Pattern(511);
  const auto image = Image(HexImage().Bytes(0, data).End().Text());
  const TransferOutcome outcome = Run(*image);
  EXPECT_EQ(outcome.ending, Ending::Written);
  EXPECT_EQ(outcome.blocksWritten, 3);
  session_.Close();

  ASSERT_TRUE(device_->WaitForFrames(greetingFrames_ + 6, 5s));
  const std::vector<std::uint8_t> received = ReceivedAfterGreeting();
  EXPECT_EQ(received, Concat({kErase, WriteFramesFor(0, data), kEndOfImage, kVersionRequest}));
  std::string why;
  EXPECT_TRUE(device_->MatchesHexFile(path_, &why)) << why;
}

TEST_F(TransferTest, EndingsTellHowTheRunEnded) {
  struct Case {
    const char* name;
    sim::SimOptions options;
    std::string text;
    TransferPlan plan;
    Ending ending;
    bool wentThrough;
  };
  sim::SimOptions silent;
  silent.silent = true;
  sim::SimOptions refusing;
  refusing.refuseErase = 1;
  sim::SimOptions dropping;
  dropping.dropReplyToBlock = 1;
  const std::string data = HexImage().Bytes(0, Pattern(100)).End().Text();
  const Case cases[] = {
      {"no data records", {}, HexImage().End().Text(), {}, Ending::NoData, true},
      {"no reply to a block", dropping, data, {}, Ending::TimedOut, false},
      {"never answered: nothing sent", silent, data, {}, Ending::NotAnswered, false},
      {"erase only, refused", refusing, data, {true, false, 2s}, Ending::EraseOnly, false},
      {"test mode", silent, data, {false, true, 2s}, Ending::TestSent, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StartDevice(c.options);
    const TransferOutcome outcome = Run(*Image(c.text), c.plan);
    EXPECT_EQ(outcome.ending, c.ending);
    EXPECT_EQ(outcome.wentThrough, c.wentThrough);
    if (c.ending == Ending::NotAnswered) {
      EXPECT_TRUE(Commands().empty());
    }
    session_.Close();
  }
}

}  // namespace
}  // namespace mx::test
