// What the transfer puts on the wire for a varied set of accepted images,
// held as digests taken from the reader and transfer of an earlier build: any
// change to the bytes sent, the replies awaited, the progress reported or the
// layout `check` shows breaks them.

#include <gtest/gtest.h>

#include <cstdio>
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

// FNV-1a, 64 bits: a short, stable name for a long byte stream.
class Digest {
 public:
  void Add(std::span<const std::uint8_t> bytes) {
    for (const std::uint8_t byte : bytes) hash_ = (hash_ ^ byte) * 0x100000001B3ull;
  }
  void Add(std::uint64_t value) {
    for (int shift = 0; shift < 64; shift += 8)
      Add(std::vector<std::uint8_t>{static_cast<std::uint8_t>(value >> shift)});
  }
  std::string Hex() const {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash_));
    return text;
  }

 private:
  std::uint64_t hash_ = 0xCBF29CE484222325ull;
};

std::string BadChecksum(std::string line) {
  line.back() = line.back() == '0' ? '1' : '0';
  return line;
}

std::vector<std::uint8_t> Seeded(std::size_t count, std::uint8_t seed) { return Pattern(count, seed); }

struct ImageCase {
  const char* name;
  std::string text;
  int endRecords;  // end frames a transfer that goes through sends
  const char* normal;
  const char* testMode;
};

std::vector<ImageCase> Cases() {
  HexImage oddSizes;
  oddSizes.Upper(0)
      .Data(0x0000, Seeded(8, 1))
      .Data(0x0010, Seeded(16, 2))
      .Data(0x0020, Seeded(32, 3))
      .Data(0x0030, Seeded(16, 4))
      .Data(0x0040, {})
      .Data(0x0050, Seeded(5, 5))
      .Data(0x0060, Seeded(255, 6))
      .Data(0x0070, Seeded(16, 7))
      .End();
  HexImage afterEnd;
  afterEnd.Bytes(0, Pattern(100))
      .End()
      .Upper(2)
      .Data(0x0000, Seeded(16, 8))
      .Line(":0100000400")
      .Line(":00000004zzAB")
      .Data(0x0010, Seeded(16, 9))
      .Line(BadChecksum(HexRecordLine(0x00, 0x0020, Seeded(16, 10))))
      .Line("garbage")
      .Line("")
      .Line(":10003000zz")
      .Line(HexRecordLine(0x02, 0, {0x10, 0x00}))
      .Line(":0400400001020304f2")
      .End()
      .Data(0x0050, Seeded(16, 11));
  HexImage upperBeyondCount;
  upperBeyondCount.Line(":0100000400FB").Bytes(0, Pattern(40)).End();
  HexImage odd;
  odd.Line(HexRecordLine(0x00, 0, Pattern(16)) + "  ; trailing")
      .Line(":10001000000102030405060708090a0b0c0d0e0f68")
      .Line(":00000001ff \t");
  HexImage across;
  across.Upper(0).Bytes(0xFF00, Pattern(600, 3)).End();
  return {
      {"Sample", SampleImage(5000, 1).Text(), 1, "905e9e0fb2f27519", "c273d325afdff662"},
      {"BlockOf255", HexImage().Bytes(0, Pattern(511)).End().Text(), 1, "f94df67c914d2fb4", "e265b76c976fc09c"},
      {"AcrossAnUpperWord", across.Text(), 1, "a9c59f3ad38e5f81", "cbe1d00acf38a283"},
      {"OddRecordSizes", oddSizes.Text(), 1, "38fd75724761127e", "f31d0f41af879261"},
      {"RecordsAfterTheEnd", afterEnd.Text(), 2, "e7a92b259d23b36c", "6fb8e0d85c2eff1e"},
      {"UpperByteBeyondTheByteCount", upperBeyondCount.Text(), 1, "9abc34f8b5993a31", "59021e1af61b722a"},
      {"TrailingTextAndLowerCase", odd.Text(), 1, "5d8318254173287c", "577909f90872e31f"},
      {"OnlyTheEnd", HexImage().End().Text(), 1, "d18bf7a2577bb1f0", "2396835b13d31006"},
  };
}

class TransferFramesTest : public ::testing::Test {
 protected:
  void StartDevice(const sim::SimOptions& options) {
    device_ = std::make_unique<sim::SimulatedBootloader>(options);
    device_->Start();
    session_.Open(device_->PortPath());
    ASSERT_EQ(GreetBootloader(session_, 2s).reply, Reply::Version);
    greetingFrames_ = device_->Frames().size();
    greetingBytes_ = device_->ReceivedBytes().size();
    session_.Arm();
  }

  // Transfers the image and names everything it did: the bytes the device
  // received, the outcome, every progress report and the image's layout.
  std::string Transfer(const ImageCase& c, const TransferPlan& plan) {
    const std::string path = dir_.Write("image.hex", c.text).string();
    const ImageReading reading = ReadFirmwareFile(path);
    EXPECT_TRUE(reading.image) << reading.refusal;
    if (!reading.image) return {};
    Digest digest;
    const TransferOutcome outcome = RunTransfer(session_, *reading.image, plan, [&](const TransferProgress& p) {
      for (const std::uint64_t value : {std::uint64_t(p.records), p.bytes, p.bytesTotal, std::uint64_t(p.recordsTotal)})
        digest.Add(value);
    });
    session_.Close();
    // Erase, every write frame sent (accepted, refused or unanswered), end
    // frames, version request.
    const std::size_t frames = (plan.testMode ? 0 : 1) + outcome.blocksWritten + outcome.refusals +
                               (outcome.ending == Ending::TimedOut ? 1 : 0) + (outcome.wentThrough ? c.endRecords : 0) +
                               (outcome.ending == Ending::Written ? 1 : 0);
    EXPECT_TRUE(device_->WaitForFrames(greetingFrames_ + frames, 5s));
    const std::vector<std::uint8_t> all = device_->ReceivedBytes();
    digest.Add(std::span(all).subspan(greetingBytes_));
    digest.Add(device_->Frames().size() - greetingFrames_);
    for (const std::uint64_t value :
         {std::uint64_t(outcome.ending), std::uint64_t(outcome.lastReply), std::uint64_t(outcome.wentThrough),
          std::uint64_t(outcome.blocksWritten), std::uint64_t(outcome.refusals), outcome.progress.bytes})
      digest.Add(value);
    const ImageLayout layout = DescribeImage(*reading.image);
    for (const std::uint64_t value :
         {std::uint64_t(layout.dataRecords), layout.dataBytes, std::uint64_t(layout.firstAddress),
          std::uint64_t(layout.lastAddress), std::uint64_t(layout.writeFrames)})
      digest.Add(value);
    return digest.Hex();
  }

  TempDir dir_;
  EventQueue loop_;
  QuietOwner owner_;
  DeviceSession session_{loop_, owner_};
  std::size_t greetingFrames_ = 0;
  std::size_t greetingBytes_ = 0;
  std::unique_ptr<sim::SimulatedBootloader> device_;
};

// The erase and the second block refused once each: both are sent again.
TEST_F(TransferFramesTest, AnsweredTransfersSendTheSameBytes) {
  for (const ImageCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    sim::SimOptions options;
    options.refuseErase = 1;
    options.refuseBlock = {{2, 1}};
    StartDevice(options);
    EXPECT_EQ(Transfer(c, TransferPlan{}), c.normal);
  }
}

// Test mode: no erase, and every frame queued without a wait.
TEST_F(TransferFramesTest, TestModeSendsTheSameBytes) {
  for (const ImageCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    StartDevice({});
    TransferPlan plan;
    plan.testMode = true;
    EXPECT_EQ(Transfer(c, plan), c.testMode);
  }
}

// A block left unanswered ends the run there: nothing after it is sent.
TEST_F(TransferFramesTest, AnUnansweredBlockStopsTheSameWay) {
  sim::SimOptions options;
  options.dropReplyToBlock = 3;
  StartDevice(options);
  TransferPlan plan;
  plan.replyTimeout = 1s;
  EXPECT_EQ(Transfer(Cases().front(), plan), "45e27e7fd9f31d6f");
}

}  // namespace
}  // namespace mx::test
