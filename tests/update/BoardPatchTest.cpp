// A board's own bytes in its copy of the image: where they go, how numbers
// are laid out, and that the frames change in those bytes only.

#include <gtest/gtest.h>

#include "protocol/DeviceSession.h"
#include "protocol/Handshake.h"
#include "sim/SimulatedBootloader.h"
#include "support/HexWriter.h"
#include "support/QuietOwner.h"
#include "update/BoardPatch.h"
#include "update/Transfer.h"

namespace mx::test {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

FirmwareImage ImageOf(const HexImage& hex) { return FirmwareImage(SplitLines(hex.Text())); }

std::string Text(const Bytes& bytes) { return {bytes.begin(), bytes.end()}; }

TEST(NumberFormat, LaysOutEachFormatAndReadsItBack) {
  struct Case {
    const char* format;
    std::uint64_t number;
    Bytes bytes;
  };
  const Case cases[] = {
      {"u32le", 0x01020304, {0x04, 0x03, 0x02, 0x01}},
      {"u32be", 0x01020304, {0x01, 0x02, 0x03, 0x04}},
      {"u16le", 0xABCD, {0xCD, 0xAB}},
      {"u16be", 0xABCD, {0xAB, 0xCD}},
      {"u64le", 0x0102030405060708, {8, 7, 6, 5, 4, 3, 2, 1}},
      {"dec:6", 4711, {'0', '0', '4', '7', '1', '1'}},
      {"hex:5", 0xBEEF, {'0', 'B', 'E', 'E', 'F'}},
      {"dec:20", 18446744073709551615ull, {'1', '8', '4', '4', '6', '7', '4', '4', '0', '7',
                                           '3', '7', '0', '9', '5', '5', '1', '6', '1', '5'}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    const auto format = ParseNumberFormat(c.format);
    ASSERT_TRUE(format);
    EXPECT_EQ(format->Name(), c.format);
    EXPECT_EQ(format->Width(), c.bytes.size());
    EXPECT_EQ(FormatNumber(c.number, *format), c.bytes);
    EXPECT_EQ(ReadNumber(c.bytes, *format), c.number);
  }
  EXPECT_EQ(ReadNumber(Bytes{'0', 'x', '1', '2'}, *ParseNumberFormat("dec:4")), std::nullopt);
  EXPECT_EQ(ReadNumber(Bytes{'0', '0'}, *ParseNumberFormat("dec:4")), std::nullopt);
}

TEST(NumberFormat, RefusesNumbersThatDoNotFitAndUnknownNames) {
  const auto fits = [](const char* format, std::uint64_t number) {
    return FormatNumber(number, *ParseNumberFormat(format)).has_value();
  };
  EXPECT_TRUE(fits("u16le", 65535));
  EXPECT_FALSE(fits("u16be", 65536));
  EXPECT_TRUE(fits("dec:4", 9999));
  EXPECT_FALSE(fits("dec:4", 10000));
  EXPECT_FALSE(fits("hex:2", 256));
  EXPECT_FALSE(fits("u32le", 1ull << 32));
  EXPECT_EQ(LargestNumber(*ParseNumberFormat("hex:16")), ~0ull);
  for (const char* bad : {"", "u32", "U32LE", "u24le", "dec:", "dec:0", "dec:21", "hex:17", "hex:-1", "dec:4x"}) {
    EXPECT_FALSE(ParseNumberFormat(bad)) << bad;
  }
}

TEST(BoardDataLine, ReadsHexBytesWithOrWithoutSeparators) {
  const Bytes mac{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
  for (const char* line :
       {"001A2B3C4D5E", "00:1a:2b:3c:4d:5e", "00-1A-2B-3C-4D-5E", "00 1A 2B 3C 4D 5E", " 001a2b3c4d5e\t"}) {
    EXPECT_EQ(ParseHexBytes(line), mac) << line;
  }
  for (const char* bad : {"", "  ", "0", "001", "00:", ":00", "00::11", "0g", "00;11", "0 0"}) {
    EXPECT_FALSE(ParseHexBytes(bad)) << '"' << bad << '"';
  }
  EXPECT_EQ(HexText(mac), "001A2B3C4D5E");
}

// Records at 0x010000.. (through an extended address record), a gap, and a
// record written twice.
HexImage Layout() {
  HexImage hex;
  hex.Upper(1).Data(0x0000, Pattern(16)).Data(0x0010, Pattern(16, 1)).Data(0x0040, Pattern(8, 2));
  hex.Data(0x0010, Pattern(16, 3)).End().Data(0x0044, Pattern(4, 4));
  return hex;
}

TEST(BoardPatch, FindsEveryRecordHoldingTheBytes) {
  const FirmwareImage image = ImageOf(Layout());
  const std::vector<PatchPlace> places = PatchPlaces(image, 0x01000E, 4);  // across two records
  ASSERT_EQ(places.size(), 3u);
  EXPECT_EQ(places[0].recordIndex, 1u);
  EXPECT_EQ(places[0].first, 0x01000Eu);
  EXPECT_EQ(places[0].count, 2u);
  EXPECT_EQ(places[1].recordStart, 0x010010u);
  EXPECT_EQ(places[1].count, 2u);
  EXPECT_EQ(places[2].recordIndex, 4u);                   // the second copy
  EXPECT_EQ(PatchPlaces(image, 0x000000, 4).size(), 0u);  // the upper byte counts
  const std::vector<PatchPlace> behind = PatchPlaces(image, 0x010044, 2);
  ASSERT_EQ(behind.size(), 2u);
  EXPECT_TRUE(behind[1].afterEndRecord);
}

TEST(BoardPatch, CoversOnlyBytesTheTransferSends) {
  const FirmwareImage image = ImageOf(Layout());
  EXPECT_TRUE(CoveredBy(image, 0x010000, 32));
  EXPECT_TRUE(CoveredBy(image, 0x010040, 8));
  EXPECT_FALSE(CoveredBy(image, 0x01001E, 4));  // into the gap
  EXPECT_FALSE(CoveredBy(image, 0x010046, 4));  // past the record, into one behind the end
  EXPECT_FALSE(CoveredBy(image, 0x000000, 4));
  EXPECT_FALSE(CoveredBy(image, 0xFFFFFE, 4));  // past 24 bits
  HexImage top;
  top.Upper(0xFF).Data(0xFFF8, Pattern(16)).End();  // wraps round to 0x000000
  EXPECT_TRUE(CoveredBy(ImageOf(top), 0x000000, 8));
  EXPECT_TRUE(CoveredBy(ImageOf(top), 0xFFFFF8, 8));
}

TEST(BoardPatch, PatchesEveryCopyAndLeavesTheReadImageAlone) {
  const FirmwareImage image = ImageOf(Layout());
  const std::vector<BoardPatch> patches{{0x01000E, {0xA1, 0xA2, 0xA3, 0xA4}}, {0x01000F, {0xB2}}};
  const auto patched = PatchedImage(image, patches);
  const auto data = [](const FirmwareImage& of, std::size_t index) {
    const HexRecord record = of.Records()[index];
    return Bytes(record.data.begin(), record.data.end());
  };
  Bytes first = Pattern(16);
  first[14] = 0xA1;
  first[15] = 0xB2;
  EXPECT_EQ(data(*patched, 1), first);
  Bytes second = Pattern(16, 1);
  second[0] = 0xA3;
  second[1] = 0xA4;
  EXPECT_EQ(data(*patched, 2), second);
  Bytes copy = Pattern(16, 3);
  copy[0] = 0xA3;
  copy[1] = 0xA4;
  EXPECT_EQ(data(*patched, 4), copy);
  EXPECT_EQ(data(image, 1), Pattern(16));
  EXPECT_EQ(data(image, 2), Pattern(16, 1));
  EXPECT_EQ(patched->DataBytes(), image.DataBytes());
  EXPECT_EQ(patched->DataRecordCount(), image.DataRecordCount());
}

// The frames of a patched image, received by the simulated bootloader, are
// those of the file with the patched bytes in place: the same blocks, each
// with its own checksum and escapes.
class PatchedFramesTest : public ::testing::Test {
 protected:
  Bytes Update(const FirmwareImage& image) {
    sim::SimulatedBootloader device{sim::SimOptions{}};
    device.Start();
    DeviceSession session(loop_, owner_);
    session.Open(device.PortPath());
    EXPECT_EQ(GreetBootloader(session, 2s).reply, Reply::Version);
    const std::size_t greeting = device.ReceivedBytes().size();
    const std::size_t frames = device.Frames().size();
    session.Arm();
    const TransferOutcome outcome = RunTransfer(session, image, TransferPlan{}, {});
    EXPECT_EQ(outcome.ending, TransferOutcome::Ending::Written);
    session.Close();
    // Erase, blocks, end, version request.
    EXPECT_TRUE(device.WaitForFrames(frames + 1 + outcome.blocksWritten + 2, 5s));
    memory_ = device.Memory();
    const Bytes all = device.ReceivedBytes();
    return Bytes(all.begin() + static_cast<std::ptrdiff_t>(greeting), all.end());
  }

  EventQueue loop_;
  QuietOwner owner_;
  std::map<std::uint32_t, std::uint8_t> memory_;
};

TEST_F(PatchedFramesTest, OnlyThePatchedBytesChangeOnTheWire) {
  SampleImage sample(1000, 1);  // from 0x010000, with 55, 04 and 05 among its bytes
  const FirmwareImage image(SplitLines(sample.Text()));
  const std::uint32_t address = 0x0100FE;                                       // across a record and a block boundary
  const Bytes number = *FormatNumber(0x05045504, *ParseNumberFormat("u32be"));  // every byte escaped
  const BoardPatch patch{address, number};
  ASSERT_TRUE(CoveredBy(image, patch));

  SampleImage expected = sample;
  std::copy(number.begin(), number.end(), expected.data.begin() + (address - sample.Start()));
  EXPECT_EQ(Update(*PatchedImage(image, {&patch, 1})), UpdateStream(expected));
  EXPECT_EQ(memory_.at(address), 0x05);
  EXPECT_EQ(memory_.at(address + 3), 0x04);
  EXPECT_EQ(Update(image), UpdateStream(sample));  // the read image is as it was
}

TEST_F(PatchedFramesTest, DecimalDigitsLandAtTheirAddress) {
  HexImage hex;
  hex.Upper(0).Bytes(0x0FE0, Pattern(64)).End();
  const FirmwareImage image = ImageOf(hex);
  const BoardPatch patch{0x0FF0, *FormatNumber(42, *ParseNumberFormat("dec:8"))};
  Update(*PatchedImage(image, {&patch, 1}));
  Bytes found;
  for (std::uint32_t offset = 0; offset < 8; ++offset) found.push_back(memory_.at(0x0FF0 + offset));
  EXPECT_EQ(Text(found), "00000042");
}

}  // namespace
}  // namespace mx::test
