// The simulator's side of the wire format, over a real pseudo-terminal, with
// frames written out by hand.

#include <gtest/gtest.h>

#include <map>

#include "HostPort.h"
#include "sim/SimulatedBootloader.h"

namespace mx::sim::test {
namespace {

using Memory = std::map<std::uint32_t, std::uint8_t>;

class SimFrames : public ::testing::Test {
 protected:
  void StartWith(SimOptions options) {
    sim_ = std::make_unique<SimulatedBootloader>(std::move(options));
    sim_->Start();
    port_ = std::make_unique<HostPort>(sim_->PortPath());
  }
  void SetUp() override { StartWith({}); }

  std::unique_ptr<SimulatedBootloader> sim_;
  std::unique_ptr<HostPort> port_;
};

Memory WorkedExampleMemory() {
  Memory memory;
  for (std::uint32_t i = 0; i < 15; ++i) memory[0x0500 + i] = static_cast<std::uint8_t>(i + 1);
  memory[0x050F] = 0x55;
  return memory;
}

TEST_F(SimFrames, WakeTextIsIgnoredAndVersionRequestIsAnswered) {
  port_->Write(kWakeText);
  const Bytes reply = port_->Exchange(kVersionRequest, kDefaultVersionReply.size());
  EXPECT_EQ(reply, kDefaultVersionReply);
  // The host logs raw positions 7..9 and 10..12 (counted from 1).
  EXPECT_EQ(Bytes(reply.begin() + 6, reply.begin() + 12), Hex("01 02 03 01 02 00"));

  ASSERT_TRUE(sim_->WaitForFrames(2, 2s));
  const auto frames = sim_->Frames();
  EXPECT_EQ(frames[0].raw, kWakeText);
  EXPECT_TRUE(frames[0].body.empty());
  EXPECT_EQ(frames[1].raw, kVersionRequest);
  EXPECT_EQ(frames[1].body, Hex("00"));
  EXPECT_TRUE(frames[1].checksumOk);
  EXPECT_EQ(sim_->VersionRequestCount(), 1);
}

struct VersionCase {
  const char* name;
  std::uint8_t major;
  std::uint8_t minor;
  std::array<std::uint8_t, 6> bytes;
  Bytes expectedReply;
};

TEST(SimVersionReply, CarriesConfiguredVersionWithEscapes) {
  const VersionCase cases[] = {
      // body 01 00 03 02 10 20 30 40 50 60: sum 0x156 -> checksum AA
      {"plain", 2, 3, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60}, Hex("55 55 01 00 03 02 10 20 30 40 50 60 AA 04")},
      // minor 05, major 55, first byte 04 go behind escape prefixes; sum 5F -> A1
      {"escaped body", 0x55, 0x05, {0x04, 0, 0, 0, 0, 0}, Hex("55 55 01 00 05 05 05 55 05 04 00 00 00 00 00 A1 04")},
      // sum AB -> checksum 55, escaped
      {"escaped checksum", 1, 1, {0xA8, 0, 0, 0, 0, 0}, Hex("55 55 01 00 01 01 A8 00 00 00 00 00 05 55 04")},
  };
  for (const VersionCase& c : cases) {
    SCOPED_TRACE(c.name);
    SimOptions options;
    options.major = c.major;
    options.minor = c.minor;
    options.versionBytes = c.bytes;
    SimulatedBootloader sim(options);
    sim.Start();
    HostPort port(sim.PortPath());
    EXPECT_EQ(port.Exchange(kVersionRequest, c.expectedReply.size()), c.expectedReply);
  }
}

TEST_F(SimFrames, WorkedExampleIsStoredAtItsAddressAndAcknowledged) {
  EXPECT_EQ(port_->Exchange(kWorkedExample, kWriteAccepted.size()), kWriteAccepted);
  EXPECT_EQ(sim_->Memory(), WorkedExampleMemory());

  const auto frames = sim_->Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].raw, kWorkedExample);
  EXPECT_EQ(frames[0].body, Hex("02 10 00 05 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 55"));
  EXPECT_TRUE(frames[0].checksumOk);
}

TEST_F(SimFrames, FaultyWriteFramesAreRefusedAndStoreNothing) {
  const struct {
    const char* name;
    Bytes frame;
  } cases[] = {
      {"bad checksum", Hex("55 55 02 10 00 05 05 00 01 02 03 05 04 05 05 06 07 08 09 0A 0B 0C 0D 0E 0F 05 55 1D 04")},
      // LEN 11 with 16 data bytes; checksum 1B matches the body
      {"length too big", Hex("55 55 02 11 00 05 05 00 01 02 03 05 04 05 05 06 07 08 09 0A 0B 0C 0D 0E 0F 05 55 1B 04")},
      // LEN 02 with one data byte; body 02 02 00 01 00 10 sums to 15 -> EB
      {"length too small", Hex("55 55 02 02 00 01 00 10 EB 04")},
      {"length zero", Hex("55 55 02 00 00 00 00 FE 04")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(port_->Exchange(c.frame, kWriteRefused.size()), kWriteRefused);
  }
  EXPECT_TRUE(sim_->Memory().empty());
}

TEST_F(SimFrames, AddressDataAndChecksumAreUnescaped) {
  const struct {
    const char* name;
    Bytes frame;
    Memory stored;
  } cases[] = {
      // A0 55, A1 04, A2 05, data 04 05 90, checksum 04: everything escaped
      {"all escaped",
       Hex("55 55 02 03 05 55 05 04 05 05 05 04 05 05 90 05 04 04"),
       {{0x050455, 0x04}, {0x050456, 0x05}, {0x050457, 0x90}}},
      {"checksum 55", Hex("55 55 02 01 00 00 00 A8 05 55 04"), {{0x000000, 0xA8}}},
      {"checksum 05", Hex("55 55 02 01 00 00 00 F8 05 05 04"), {{0x000000, 0xF8}}},
  };
  Memory expected;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(port_->Exchange(c.frame, kWriteAccepted.size()), kWriteAccepted);
    for (const auto& [address, value] : c.stored) expected[address] = value;
    EXPECT_EQ(sim_->Memory(), expected);
  }
}

TEST_F(SimFrames, LengthByteIsTakenAsItStandsEvenWhenSpecial) {
  Bytes eightyFive = Hex("55 55 02 55 00 02 00");  // 85 bytes at 0x0200
  eightyFive.insert(eightyFive.end(), 85, 0x20);
  eightyFive.insert(eightyFive.end(), {0x07, 0x04});  // 59 + 85 * 20 = AF9 -> 07
  const struct {
    const char* name;
    Bytes frame;
    std::uint32_t first;
    std::size_t count;
  } cases[] = {
      {"LEN 04", Hex("55 55 02 04 00 01 00 10 11 12 13 B3 04"), 0x0100, 4},
      {"LEN 05", Hex("55 55 02 05 00 01 00 10 11 12 13 14 9E 04"), 0x0100, 5},
      {"LEN 55", eightyFive, 0x0200, 85},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(port_->Exchange(c.frame, kWriteAccepted.size()), kWriteAccepted);
    const Memory memory = sim_->Memory();
    EXPECT_EQ(memory.count(c.first), 1u);
    EXPECT_EQ(memory.count(c.first + static_cast<std::uint32_t>(c.count) - 1), 1u);
    EXPECT_EQ(memory.count(c.first + static_cast<std::uint32_t>(c.count)), 0u);
  }
}

TEST_F(SimFrames, FullBlockWithLengthFFHolds256Bytes) {
  // Data 00..FF at 0x1000; sum 02 + FF + 10 + 7F80 -> 91, checksum 6F.
  Bytes frame = Hex("55 55 02 FF 00 10 00");
  for (int i = 0; i < 256; ++i) {
    if (i == 0x04 || i == 0x05 || i == 0x55) frame.push_back(0x05);
    frame.push_back(static_cast<std::uint8_t>(i));
  }
  frame.insert(frame.end(), {0x6F, 0x04});

  EXPECT_EQ(port_->Exchange(frame, kWriteAccepted.size()), kWriteAccepted);
  const Memory memory = sim_->Memory();
  ASSERT_EQ(memory.size(), 256u);
  for (std::uint32_t i = 0; i < 256; ++i) EXPECT_EQ(memory.at(0x1000 + i), i);
}

TEST_F(SimFrames, EraseClearsMemoryAndIsAcknowledged) {
  ASSERT_EQ(port_->Exchange(kWorkedExample, kWriteAccepted.size()), kWriteAccepted);
  ASSERT_FALSE(sim_->Memory().empty());
  EXPECT_EQ(port_->Exchange(kEraseFrame, kEraseAccepted.size()), kEraseAccepted);
  EXPECT_TRUE(sim_->Memory().empty());
  EXPECT_EQ(sim_->EraseCount(), 1);
}

TEST_F(SimFrames, EndAndRestoreAreRecordedWithoutReply) {
  port_->Write(kEndFrame);
  port_->Write(kRestoreFrame);
  // Whatever comes back first must be the answer to this request.
  EXPECT_EQ(port_->Exchange(kVersionRequest, kDefaultVersionReply.size()), kDefaultVersionReply);
  EXPECT_EQ(sim_->EndFrameCount(), 1);
  EXPECT_EQ(sim_->RestoreCount(), 1);
}

TEST_F(SimFrames, GarbageAndUnknownFramesAreSkippedAndParsingResynchronises) {
  const Bytes stream = Concat({
      Hex("12 55 34"),                    // noise with a lone 55
      Hex("55 55 02 10 00 05 05 00 01"),  // a write frame cut short by ...
      Hex("55 55 07 F9 04"),              // ... an unknown command
      Hex("55 55 00 01 04"),              // version request with a bad checksum
      Hex("55"), kVersionRequest,         // a stray 55 right before a good frame
  });
  port_->Write(stream);
  EXPECT_EQ(port_->Read(kDefaultVersionReply.size()), kDefaultVersionReply);
  EXPECT_TRUE(port_->StaysQuiet(100ms));
  EXPECT_EQ(sim_->VersionRequestCount(), 1);
  EXPECT_TRUE(sim_->Memory().empty());
  EXPECT_EQ(sim_->ReceivedBytes(), stream);

  // Every byte lands in exactly one piece, in order.
  const std::vector<Bytes> expectedPieces = {
      Hex("12 55 34"), Hex("55 55 02 10 00 05 05 00 01"), Hex("55 55 07 F9 04"), Hex("55 55 00 01 04"), Hex("55"),
      kVersionRequest,
  };
  std::vector<Bytes> pieces;
  for (const ReceivedFrame& frame : sim_->Frames()) pieces.push_back(frame.raw);
  EXPECT_EQ(pieces, expectedPieces);
}

TEST_F(SimFrames, FramesCarryTheirArrivalTimeInOrder) {
  const auto before = Clock::now();
  port_->Write(kWakeText);
  port_->Exchange(kVersionRequest, kDefaultVersionReply.size());
  port_->Exchange(kWorkedExample, kWriteAccepted.size());
  const auto after = Clock::now();
  const auto frames = sim_->Frames();
  ASSERT_EQ(frames.size(), 3u);
  for (std::size_t i = 0; i < frames.size(); ++i) {
    EXPECT_GE(frames[i].at, i == 0 ? before : frames[i - 1].at);
    EXPECT_LE(frames[i].at, after);
  }
}

TEST_F(SimFrames, HostCanCloseAndOpenThePortAgain) {
  EXPECT_EQ(port_->Exchange(kVersionRequest, kDefaultVersionReply.size()), kDefaultVersionReply);
  for (int round = 0; round < 3; ++round) {
    port_.reset();
    port_ = std::make_unique<HostPort>(sim_->PortPath());
    EXPECT_EQ(port_->Exchange(kVersionRequest, kDefaultVersionReply.size()), kDefaultVersionReply);
  }
  EXPECT_EQ(sim_->VersionRequestCount(), 4);
}

}  // namespace
}  // namespace mx::sim::test
