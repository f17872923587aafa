#include <gtest/gtest.h>

#include <vector>

#include "protocol/Frames.h"
#include "update/FirmwareImage.h"
#include "update/HexFile.h"
#include "update/Transfer.h"

namespace mx {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ToVector(std::span<const std::uint8_t> bytes) { return {bytes.begin(), bytes.end()}; }

Bytes BuildFrame(std::uint8_t a0, std::uint8_t a1, std::uint8_t a2, const Bytes& data) {
  WriteFrame frame;
  frame.Start(a0, a1, a2);
  for (std::uint8_t byte : data) frame.Append(byte);
  frame.Close();
  return ToVector(frame.Bytes());
}

// What the receiving side sees: body plus checksum with the escape prefixes
// removed, from a frame of the form 55 55 body... CK 04 whose bytes before
// `firstEscapable` travel unescaped (a write frame's command and LEN).
Bytes Unescape(const Bytes& frame, std::size_t firstEscapable = 4) {
  Bytes body;
  for (std::size_t i = 2; i + 1 < frame.size(); ++i) {
    if (i >= firstEscapable && frame[i] == FRAME_ESC) ++i;
    body.push_back(frame[i]);
  }
  return body;
}

std::uint8_t Sum(const Bytes& bytes) {
  std::uint8_t sum = 0;
  for (std::uint8_t byte : bytes) sum = static_cast<std::uint8_t>(sum + byte);
  return sum;
}

TEST(WriteFrameTest, LastBlockExampleAtAddress0500) {
  const Bytes data{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x55};
  const Bytes expected{0x55, 0x55, 0x02, 0x10, 0x00, 0x05, 0x05, 0x00, 0x01, 0x02, 0x03, 0x05, 0x04, 0x05, 0x05,
                       0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x05, 0x55, 0x1C, 0x04};
  EXPECT_EQ(BuildFrame(0x00, 0x05, 0x00, data), expected);
}

TEST(WriteFrameTest, FullBlockCarriesLenFF) {
  WriteFrame frame;
  frame.Start(0x00, 0x01, 0x00);
  for (std::size_t i = 0; i < WriteFrame::kBlockSize; ++i) {
    ASSERT_FALSE(frame.Full());
    frame.Append(static_cast<std::uint8_t>(0x10 + i % 0x30));
  }
  EXPECT_TRUE(frame.Full());
  EXPECT_EQ(frame.DataCount(), 256u);
  frame.Close();
  const Bytes bytes = ToVector(frame.Bytes());
  EXPECT_EQ(bytes[3], 0xFF);
  EXPECT_EQ(bytes.size(), 2 + 1 + 1 + 3 + 256 + 1 + 1u);
  EXPECT_EQ(Sum(Unescape(bytes)), 0);
}

TEST(WriteFrameTest, WorstCaseEscapingStaysWithinTheBuffer) {
  const Bytes data(WriteFrame::kBlockSize, FRAME_SYNC);
  const Bytes bytes = BuildFrame(FRAME_SYNC, FRAME_END, FRAME_ESC, data);
  EXPECT_LE(bytes.size(), WriteFrame::kMaxFrameBytes);
  EXPECT_EQ(bytes.size(), 2 + 1 + 1 + 6 + 512 + 1 + 1u);  // checksum 0xA1 goes out plain
  const Bytes body = Unescape(bytes);
  EXPECT_EQ(body.size(), 1 + 1 + 3 + 256 + 1u);
  EXPECT_EQ(Sum(body), 0);
}

// A last block of 4, 5 or 85 bytes has a LEN byte that looks special but goes
// out as it is.
class SpecialLengthTest : public testing::TestWithParam<std::size_t> {};

TEST_P(SpecialLengthTest, LenIsNotEscaped) {
  const std::size_t count = GetParam();
  const Bytes bytes = BuildFrame(0x20, 0x00, 0x00, Bytes(count, 0x11));
  ASSERT_GE(bytes.size(), 5u);
  EXPECT_EQ(bytes[3], count);
  EXPECT_EQ(bytes[4], 0x20);  // A0 right behind LEN, no prefix between
  EXPECT_EQ(bytes.size(), 2 + 1 + 1 + 3 + count + 1 + 1);
  EXPECT_EQ(Sum(Unescape(bytes)), 0);
}

INSTANTIATE_TEST_SUITE_P(LastBlock, SpecialLengthTest, testing::Values(4u, 5u, 85u));

// With A0..A2 zero and one data byte d the body sums to 0x02 + 0x01 + d, so
// d picks the checksum.
class SpecialChecksumTest : public testing::TestWithParam<std::uint8_t> {};

TEST_P(SpecialChecksumTest, ChecksumIsEscaped) {
  const std::uint8_t checksum = GetParam();
  const auto data = static_cast<std::uint8_t>(0x100 - checksum - 0x03);
  const Bytes expected{0x55, 0x55, 0x02, 0x01, 0x00, 0x00, 0x00, data, FRAME_ESC, checksum, 0x04};
  EXPECT_EQ(BuildFrame(0x00, 0x00, 0x00, {data}), expected);
}

INSTANTIATE_TEST_SUITE_P(Values, SpecialChecksumTest, testing::Values(0x04, 0x05, 0x55));

TEST(WriteFrameTest, StartDiscardsThePendingBlock) {
  WriteFrame frame;
  frame.Start(0x00, 0x00, 0x00);
  frame.Append(0x99);
  frame.Start(0x00, 0x05, 0x00);
  EXPECT_TRUE(frame.Pending());
  EXPECT_EQ(frame.DataCount(), 0u);
  for (std::uint8_t b = 1; b <= 0x0F; ++b) frame.Append(b);
  frame.Append(0x55);
  frame.Close();
  EXPECT_EQ(ToVector(frame.Bytes()).back(), FRAME_END);
  EXPECT_EQ(ToVector(frame.Bytes())[27], 0x1C);  // same checksum as the worked example
}

TEST(WriteFrameTest, ClearLeavesNothingPending) {
  WriteFrame frame;
  frame.Start(0x00, 0x00, 0x00);
  frame.Append(0x01);
  frame.Close();
  EXPECT_TRUE(frame.Closed());
  frame.Clear();
  EXPECT_FALSE(frame.Pending());
  EXPECT_FALSE(frame.Closed());
  EXPECT_TRUE(frame.Bytes().empty());
}

// The upper address word 0x0101 and 0x0001 differ only in bits 24..31 of the
// full address; A2 takes the low byte the reader hands over, so both images
// are written at 0x010010.
TEST(WriteFrameTest, AddressBits24To31AreDropped) {
  for (const char* upper : {":020000040001F9", ":020000040101F8"}) {
    const FirmwareImage image(std::vector<std::string>{upper, ":04001000DEADBEEFB4", ":00000001FF"});
    const ImageLayout layout = DescribeImage(image);
    EXPECT_EQ(layout.firstAddress, 0x010010u) << upper;
    EXPECT_EQ(layout.lastAddress, 0x010013u) << upper;
  }
}

// Every fixed frame is a well-formed frame: its body and checksum sum to 0.
TEST(FixedFramesTest, BytesAndChecksums) {
  EXPECT_EQ(Bytes(kWakeText.begin(), kWakeText.end()), (Bytes{'r', 'e'}));
  EXPECT_EQ(Bytes(kVersionFrame.begin(), kVersionFrame.end()), (Bytes{0x55, 0x55, 0x00, 0x00, 0x04}));
  EXPECT_EQ(Bytes(kEndFrame.begin(), kEndFrame.end()), (Bytes{0x55, 0x55, 0x01, 0xFF, 0x04}));
  EXPECT_EQ(Bytes(kEraseFrame.begin(), kEraseFrame.end()),
            (Bytes{0x55, 0x55, 0x03, 0x05, 0x53, 0x00, 0x00, 0x00, 0xAA, 0x04}));
  EXPECT_EQ(Bytes(kRestoreFrame.begin(), kRestoreFrame.end()), (Bytes{0x55, 0x55, 0x09, 0xF7, 0x04}));

  // Fixed frames may escape from the byte after the command on (the erase
  // frame's 0x53 travels so).
  for (const auto frame : {std::span<const std::uint8_t>(kVersionFrame), std::span<const std::uint8_t>(kEndFrame),
                           std::span<const std::uint8_t>(kEraseFrame), std::span<const std::uint8_t>(kRestoreFrame)}) {
    EXPECT_EQ(Sum(Unescape(ToVector(frame), 3)), 0) << ToVector(frame).size();
  }
}

TEST(FixedFramesTest, NeedsEscape) {
  for (int value = 0; value < 256; ++value) {
    const bool special = value == 0x04 || value == 0x05 || value == 0x55;
    EXPECT_EQ(NeedsEscape(static_cast<std::uint8_t>(value)), special) << value;
  }
}

}  // namespace
}  // namespace mx
