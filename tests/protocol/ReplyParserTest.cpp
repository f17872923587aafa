#include <gtest/gtest.h>

#include <climits>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

#include "protocol/ReplyParser.h"

namespace mx {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

// A log entry in a few words: "frame 85,85,4", "checked", "write ack",
// "erase ack", "wizard", "version 1.1 old FD0455 restore 550101".
std::string Describe(const LogEntry& entry) {
  if (const auto* frame = std::get_if<LoggedFrame>(&entry)) {
    std::string text = "frame ";
    for (std::size_t i = 0; i < frame->bytes.size(); ++i) text += (i > 0 ? "," : "") + std::to_string(frame->bytes[i]);
    return text;
  }
  if (const auto* version = std::get_if<VersionReply>(&entry)) {
    return "version " + std::to_string(version->major) + "." + std::to_string(version->minor) + " old " +
           version->oldVersionHex + " restore " + version->restorePointHex;
  }
  if (std::holds_alternative<ChecksumChecked>(entry)) return "checked";
  if (std::holds_alternative<WriteAcknowledged>(entry)) return "write ack";
  if (std::holds_alternative<EraseAcknowledged>(entry)) return "erase ack";
  return "wizard";
}

Lines Log(const ReceiveResult& result) {
  Lines described;
  for (const LogEntry& entry : result.log) described.push_back(Describe(entry));
  return described;
}

// The window's status word for the reply a chunk yielded, if any.
std::optional<std::string> Word(const ReceiveResult& result) {
  if (!result.reply) return std::nullopt;
  return std::string(ReplyWord(*result.reply));
}

// The version a chunk yielded, as "major.minor", if any.
std::optional<std::string> Version(const ReceiveResult& result) {
  if (!result.version) return std::nullopt;
  return std::to_string(result.version->major) + "." + std::to_string(result.version->minor);
}

ReceiveOptions Options(bool wizardWaiting = false) { return ReceiveOptions{wizardWaiting}; }

// A reply frame around `body`: checksum appended, body and checksum escaped.
Bytes Frame(const Bytes& body) {
  Bytes frame{0x55, 0x55};
  std::uint8_t sum = 0;
  auto put = [&frame](std::uint8_t byte) {
    if (byte == 0x55 || byte == 0x04 || byte == 0x05) frame.push_back(0x05);
    frame.push_back(byte);
  };
  for (std::uint8_t byte : body) {
    put(byte);
    sum = static_cast<std::uint8_t>(sum + byte);
  }
  put(static_cast<std::uint8_t>(0x100 - sum));
  frame.push_back(0x04);
  return frame;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

const Bytes kVersion11{0x55, 0x55, 0x01, 0x00, 0x01, 0x01, 0xFD, 0x04};
const Bytes kWriteAccepted{0x55, 0x55, 0x01, 0x02, 0x00, 0xFD, 0x04};
const Bytes kWriteRefused{0x55, 0x55, 0x01, 0x02, 0x01, 0xFC, 0x04};
const Bytes kEraseAccepted{0x55, 0x55, 0x01, 0x03, 0x00, 0xFC, 0x04};

// Feeds every chunk in order and collects what all of them produced.
struct FeedResult {
  ReceiveResult last;                             // the result of the last chunk
  Lines log;                                      // log entries of all chunks, described
  std::vector<std::optional<std::string>> words;  // reply word per chunk
};

FeedResult FeedAll(ReplyReceiver& receiver, const std::vector<Bytes>& chunks, const ReceiveOptions& options) {
  FeedResult run;
  for (const Bytes& chunk : chunks) {
    run.last = receiver.Feed(chunk, options);
    const Lines described = Log(run.last);
    run.log.insert(run.log.end(), described.begin(), described.end());
    run.words.push_back(Word(run.last));
  }
  return run;
}

std::vector<Bytes> ByteByByte(const Bytes& bytes) {
  std::vector<Bytes> chunks;
  for (std::uint8_t byte : bytes) chunks.push_back({byte});
  return chunks;
}

// ---- Which reply a sequence of chunks yields ----

struct ReplyCase {
  const char* name;
  std::vector<Bytes> chunks;
  std::optional<std::string> word;  // reply word of the last chunk
};

void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }

class ReplyWordTest : public testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyWordTest, LastChunkYields) {
  ReplyReceiver receiver;
  receiver.Arm();
  const FeedResult run = FeedAll(receiver, GetParam().chunks, Options());
  EXPECT_EQ(Word(run.last), GetParam().word);
  for (std::size_t i = 0; i + 1 < run.words.size(); ++i) EXPECT_FALSE(run.words[i]) << "chunk " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReplyWordTest,
    testing::Values(
        ReplyCase{"VersionInOneChunk", {kVersion11}, "VerOK"},
        ReplyCase{"VersionByteByByte", ByteByByte(kVersion11), "VerOK"},
        ReplyCase{"WriteSplitInTwo", {{0x55, 0x55, 0x01}, {0x02, 0x00, 0xFD, 0x04}}, "OK"},
        ReplyCase{"SyncSplitBetweenChunks", {{0x55}, {0x55, 0x01, 0x02, 0x00, 0xFD, 0x04}}, "OK"},
        ReplyCase{"WriteStatus0", {kWriteAccepted}, "OK"}, ReplyCase{"WriteStatus1", {kWriteRefused}, "NO"},
        ReplyCase{"EraseStatus0", {kEraseAccepted}, "EraseOK"},
        ReplyCase{"EraseStatus1", {{0x55, 0x55, 0x01, 0x03, 0x01, 0xFB, 0x04}}, "NO"},
        ReplyCase{"NoiseBeforeSync", {Concat({{0x00, 0x13, 0xFF, 0x04, 0x05}, kWriteAccepted})}, "OK"},
        ReplyCase{"NoiseSplitAcrossChunks",
                  {{0x13, 0x55}, {0x02, 0x55}, Bytes(kWriteAccepted.begin() + 1, kWriteAccepted.end())},
                  "OK"},
        ReplyCase{"ThreeSyncBytes", {Concat({{0x55}, kWriteAccepted})}, "OK"},
        ReplyCase{"SingleSyncThenOtherByteDoesNotSync", {{0x55, 0x01, 0x02, 0x00, 0xFD, 0x04}}, std::nullopt},
        // Checksum 05 travels as 05 05; the 04 behind it still ends the frame.
        ReplyCase{"EscapedEscapeBeforeEnd", {{0x55, 0x55, 0x01, 0x02, 0x00, 0xF8, 0x05, 0x05, 0x04}}, "OK"},
        // 05 04 is a data byte 04, not the end: status 0, then 04, checksum F8.
        ReplyCase{"EscapedEndInside", {{0x55, 0x55, 0x01, 0x03, 0x00, 0x05, 0x04, 0xF8, 0x04}}, "EraseOK"},
        ReplyCase{
            "EscapedEndInsideSplitAfterIt", {{0x55, 0x55, 0x01, 0x03, 0x00, 0x05, 0x04}, {0xF8, 0x04}}, "EraseOK"},
        ReplyCase{"BadChecksum", {{0x55, 0x55, 0x01, 0x02, 0x00, 0xFE, 0x04}}, std::nullopt},
        ReplyCase{"NotAReply", {Frame({0x02, 0x02, 0x00})}, std::nullopt},
        ReplyCase{"UnknownCode", {{0x55, 0x55, 0x01, 0x01, 0xFE, 0x04}}, std::nullopt},
        ReplyCase{"EmptyBody", {{0x55, 0x55, 0x04}}, std::nullopt},
        ReplyCase{"LastReplyWins", {Concat({kWriteAccepted, kWriteRefused})}, "NO"},
        ReplyCase{
            "BadFrameThenGoodFrame", {Concat({{0x55, 0x55, 0x01, 0x02, 0x00, 0x00, 0x04}, kEraseAccepted})}, "EraseOK"},
        ReplyCase{
            "TwoFramesVersionThenUnknown", {Concat({kVersion11, {0x55, 0x55, 0x01, 0x01, 0xFE, 0x04}})}, "VerOK"}),
    [](const testing::TestParamInfo<ReplyCase>& info) { return info.param.name; });

// Bytes after the end byte are stored, but an unfinished second frame is
// dropped when the receiver re-arms; its rest is noise afterwards.
TEST(ReplyReceiverTest, UnfinishedTailIsDropped) {
  ReplyReceiver receiver;
  receiver.Arm();
  EXPECT_EQ(Word(receiver.Feed(Concat({kWriteAccepted, {0x55, 0x55, 0x01, 0x02}}), Options())), "OK");
  EXPECT_FALSE(Word(receiver.Feed(Bytes{0x01, 0xFC, 0x04}, Options())));
  EXPECT_EQ(Word(receiver.Feed(kWriteRefused, Options())), "NO");
}

TEST(ReplyReceiverTest, IgnoresBytesUntilArmed) {
  ReplyReceiver receiver;
  EXPECT_FALSE(receiver.Armed());
  EXPECT_FALSE(Word(receiver.Feed(kWriteAccepted, Options())));
  receiver.Arm();
  EXPECT_TRUE(receiver.Armed());
  EXPECT_EQ(Word(receiver.Feed(kWriteAccepted, Options())), "OK");
  EXPECT_TRUE(receiver.Armed());  // re-armed after the frame
}

TEST(ReplyReceiverTest, ArmDropsAHalfReceivedFrame) {
  ReplyReceiver receiver;
  receiver.Arm();
  receiver.Feed(Bytes(kWriteAccepted.begin(), kWriteAccepted.begin() + 4), Options());
  receiver.Arm();
  EXPECT_FALSE(Word(receiver.Feed(Bytes(kWriteAccepted.begin() + 4, kWriteAccepted.end()), Options())));
  EXPECT_EQ(Word(receiver.Feed(kWriteAccepted, Options())), "OK");
}

// ---- What the parser reports: every frame, then what it was found to be ----

const char* const kChecked = "checked";
const char* const kWriteAck = "write ack";
const char* const kEraseAck = "erase ack";

TEST(ReplyLogTest, TwoFramesInOneChunk) {
  ReplyReceiver receiver;
  receiver.Arm();
  const ReceiveResult result = receiver.Feed(Concat({kVersion11, {0x55, 0x55, 0x01, 0x01, 0xFE, 0x04}}), Options());
  EXPECT_EQ(Word(result), "VerOK");
  EXPECT_EQ(Version(result), "1.1");
  // The version digits are the receive log's to keep.
  const Lines expected{"frame 85,85,1,0,1,1,253,4,85,85,1,1,254,4", kChecked, "version 1.1 old  restore ", kChecked};
  EXPECT_EQ(Log(result), expected);
}

TEST(ReplyLogTest, EveryAnswerAfterItsFrame) {
  ReplyReceiver receiver;
  receiver.Arm();
  EXPECT_EQ(Log(receiver.Feed(Bytes{0x55, 0x55, 0x01, 0x02, 0x00, 0xF8, 0x05, 0x05, 0x04}, Options())),
            (Lines{"frame 85,85,1,2,0,248,5,5,4", kChecked, kWriteAck}));  // raw bytes, escape prefixes included
  EXPECT_EQ(Log(receiver.Feed(kEraseAccepted, Options())), (Lines{"frame 85,85,1,3,0,252,4", kChecked, kEraseAck}));
  EXPECT_EQ(Log(receiver.Feed(kWriteRefused, Options())), (Lines{"frame 85,85,1,2,1,252,4", kChecked}));
  // A bad checksum: the frame, and nothing found in it.
  EXPECT_EQ(Log(receiver.Feed(Bytes{0x55, 0x55, 0x01, 0x02, 0x00, 0x00, 0x04}, Options())),
            Lines{"frame 85,85,1,2,0,0,4"});
}

TEST(ReplyLogTest, NoisePrecedingTheFrameIsNotLogged) {
  ReplyReceiver receiver;
  receiver.Arm();
  const ReceiveResult result = receiver.Feed(Concat({{0x01, 0x02, 0x55, 0x03}, kWriteRefused}), Options());
  ASSERT_FALSE(Log(result).empty());
  EXPECT_EQ(Log(result)[0], "frame 85,85,1,2,1,252,4");
}

TEST(ReplyLogTest, WizardWaitingSeesFramesAndRecognisesNothing) {
  for (const Bytes& frame : {kVersion11, kWriteAccepted, Bytes{0x55, 0x55, 0x01, 0x02, 0x00, 0x00, 0x04}}) {
    ReplyReceiver receiver;
    receiver.Arm();
    const ReceiveResult result = receiver.Feed(frame, Options(true));
    EXPECT_EQ(Log(result), Lines{"wizard"});
    ASSERT_TRUE(std::holds_alternative<WizardFrameSeen>(result.log.front()));
    EXPECT_EQ(std::get<WizardFrameSeen>(result.log.front()).bytes, frame);  // the receive log keeps its digits
    EXPECT_FALSE(Word(result));
    EXPECT_FALSE(Version(result));
  }
}

TEST(ReplyLogTest, ShortVersionReplyReadsMissingMajorAsZero) {
  // Body 01 00 with checksum FF: the checksum is body byte 3, byte 4 is absent.
  ReplyReceiver receiver;
  receiver.Arm();
  const ReceiveResult result = receiver.Feed(Bytes{0x55, 0x55, 0x01, 0x00, 0xFF, 0x04}, Options());
  EXPECT_EQ(Word(result), "VerOK");
  EXPECT_EQ(Version(result), "0.255");
}

TEST(ReplyLogTest, EmptyBodyPassesTheChecksum) {
  ReplyReceiver receiver;
  receiver.Arm();
  const ReceiveResult result = receiver.Feed(Bytes{0x55, 0x55, 0x04}, Options());
  EXPECT_EQ(Log(result), (Lines{"frame 85,85,4", kChecked}));
  EXPECT_FALSE(Word(result));
}

// ---- The accumulator never overflows ----

TEST(ReplyOverflowTest, RunWithoutEndIsDroppedAndNextFrameRecognised) {
  ReplyReceiver receiver;
  receiver.Arm();
  const Bytes run = Concat({{0x55, 0x55}, Bytes(100, 0x11)});
  EXPECT_TRUE(receiver.Feed(run, Options()).log.empty());
  const ReceiveResult result = receiver.Feed(kWriteAccepted, Options());
  EXPECT_EQ(Word(result), "OK");
  EXPECT_EQ(Log(result).front(), "frame 85,85,1,2,0,253,4");
}

TEST(ReplyOverflowTest, OverflowingByteMayStartTheNextFrame) {
  // 50 bytes fill the accumulator; the frame's first sync byte is the 51st.
  const Bytes fill = Concat({{0x55, 0x55}, Bytes(48, 0x11)});
  for (std::size_t split = 0; split <= fill.size(); split += 7) {
    ReplyReceiver receiver;
    receiver.Arm();
    const Bytes all = Concat({fill, kEraseAccepted});
    receiver.Feed(Bytes(all.begin(), all.begin() + split), Options());
    EXPECT_EQ(Word(receiver.Feed(Bytes(all.begin() + split, all.end()), Options())), "EraseOK") << split;
  }
}

TEST(ReplyOverflowTest, FiftyBytesWithEndAtTheLastPositionAreAFrame) {
  // Version reply padded with extra body bytes to exactly 50 raw bytes.
  Bytes body{0x01, 0x00, 0x07, 0x02};
  while (Frame(body).size() < ReplyReceiver::kCapacity) body.push_back(0x11);
  const Bytes frame = Frame(body);
  ASSERT_EQ(frame.size(), ReplyReceiver::kCapacity);
  ReplyReceiver receiver;
  receiver.Arm();
  EXPECT_EQ(Version(receiver.Feed(frame, Options())), "2.7");
}

TEST(ReplyOverflowTest, CompletedFrameIsHandledBeforeTheTailOverflows) {
  ReplyReceiver receiver;
  receiver.Arm();
  const Bytes chunk = Concat({kWriteAccepted, Bytes(60, 0x11), kEraseAccepted});
  const ReceiveResult result = receiver.Feed(chunk, Options());
  EXPECT_EQ(Word(result), "EraseOK");
  // The full accumulator is handled as it stands: the write frame and the
  // run up to the capacity.
  const Bytes full = Concat({kWriteAccepted, Bytes(ReplyReceiver::kCapacity - kWriteAccepted.size(), 0x11)});
  EXPECT_EQ(Log(result),
            (Lines{Describe(LoggedFrame{full}), kChecked, kWriteAck, "frame 85,85,1,3,0,252,4", kChecked, kEraseAck}));
  EXPECT_TRUE(receiver.Armed());
}

TEST(ReplyOverflowTest, LongChunkOfSyncAndEscapeBytes) {
  ReplyReceiver receiver;
  receiver.Arm();
  Bytes chunk{0x55, 0x55};
  for (int i = 0; i < 1000; ++i) chunk.push_back(i % 3 == 0 ? 0x55 : 0x05);
  receiver.Feed(chunk, Options());
  EXPECT_EQ(Word(receiver.Feed(kWriteRefused, Options())), "NO");
}

// ---- DigitsToInt ----

struct DigitsCase {
  std::string text;
  int value;
};

void PrintTo(const DigitsCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class DigitsToIntTest : public testing::TestWithParam<DigitsCase> {};

TEST_P(DigitsToIntTest, Converts) { EXPECT_EQ(DigitsToInt(GetParam().text), GetParam().value) << GetParam().text; }

INSTANTIATE_TEST_SUITE_P(Table, DigitsToIntTest,
                         testing::Values(DigitsCase{"", 0}, DigitsCase{"3", 3}, DigitsCase{"5", 5},
                                         DigitsCase{"2.5", 205}, DigitsCase{"-1", 1}, DigitsCase{" 4 ", 4},
                                         DigitsCase{"   ", 0}, DigitsCase{"007", 7}, DigitsCase{"1 2", 102},
                                         DigitsCase{"abc", 0}, DigitsCase{"2147483647", INT_MAX},
                                         DigitsCase{"2147483648", INT_MAX},
                                         DigitsCase{"99999999999999999999999", INT_MAX}));

}  // namespace
}  // namespace mx
