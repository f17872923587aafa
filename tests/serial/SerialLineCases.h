#pragma once

// Cases of the serial component that every platform runs on a real line: the
// POSIX suite on a pseudo-terminal, the Win32 suite under Wine on a COM port
// joined to another by a null modem. Each suite supplies a rig: the component
// (named and set up as the window sets it, not open), the far end of the
// line, and how to open the component there.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "serial/EventLoop.h"
#include "serial/SerialComm.h"

namespace mx::test {

using LineBytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t kLineXon = '~';  // the window's flow-control characters
inline constexpr std::uint8_t kLineXoff = '}';
inline constexpr std::chrono::milliseconds kLinePatience{10000};  // far beyond any wait that succeeds

// Bytes that hold no flow-control character.
inline LineBytes LinePattern(std::size_t count, int seed = 0) {
  LineBytes bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>('0' + (i * 31 + seed) % 75);
  return bytes;
}

inline LineBytes LineText(const std::string& text) { return LineBytes(text.begin(), text.end()); }

// The other end of the line, driven by the test.
class FarEnd {
 public:
  virtual ~FarEnd() = default;
  virtual void Write(const LineBytes& bytes) = 0;
  // What arrives until `count` bytes are in or `limit` has passed.
  virtual LineBytes Read(std::size_t count, std::chrono::milliseconds limit) = 0;
};

// Everything the component raises, in order.
struct LineLog {
  std::vector<LineBytes> chunks;
  std::vector<bool> terminated;  // the byte after each chunk's length was 0
  int hangups = 0;
  int empties = 0;

  void Attach(TComm& comm) {
    comm.OnReceiveData = [this](TComm&, const std::uint8_t* buffer, std::uint16_t length) {
      chunks.emplace_back(buffer, buffer + length);
      terminated.push_back(buffer[length] == 0);
    };
    comm.OnRequestHangup = [this](TComm&) { ++hangups; };
    comm.OnSendDataEmpty = [this](TComm&) { ++empties; };
  }
  LineBytes Received() const {
    LineBytes all;
    for (const LineBytes& chunk : chunks) all.insert(all.end(), chunk.begin(), chunk.end());
    return all;
  }
};

struct LineRig {
  EventQueue& loop;
  TComm& comm;
  FarEnd& remote;  // the far end
  LineLog& log;
  std::function<void()> open;  // opens `comm`; may also release a hold left from earlier
  int closeRounds;             // rounds of the close-after-sent race

  // Handles events until `done` holds or the patience runs out.
  bool RunUntil(const std::function<bool()>& done) {
    const Clock::time_point deadline = Clock::now() + kLinePatience;
    while (!done() && Clock::now() < deadline) loop.WaitForEvents(deadline);
    return done();
  }
  bool WaitForBytes(std::size_t count) {
    return RunUntil([&] { return log.Received().size() >= count; });
  }
  void Send(const LineBytes& bytes) {
    ASSERT_TRUE(comm.SendData(bytes.data(), static_cast<std::uint16_t>(bytes.size())));
  }
  // XOFF from the far end, then a marker: once the marker has been
  // delivered, the XOFF before it holds our output.
  void HoldOutput() {
    const std::size_t before = log.Received().size();
    remote.Write({kLineXoff, '!'});
    ASSERT_TRUE(WaitForBytes(before + 1));
    EXPECT_EQ(log.Received().back(), '!') << "the XOFF itself is not delivered";
  }
};

struct LineCase {
  const char* name;
  void (*run)(LineRig& rig);
};

inline void PrintTo(const LineCase& value, std::ostream* out) { *out << value.name; }

namespace line_cases {

inline void SecondOpenIsRefusedAndThePortKeepsWorking(LineRig& rig) {
  rig.open();
  try {
    rig.comm.OpenComm();
    ADD_FAILURE() << "opened twice";
  } catch (const ECommsError& error) {
    EXPECT_STREQ(error.what(), "This serial port already opened");
  }
  ASSERT_TRUE(rig.comm.IsOpen());
  rig.remote.Write(LineText("in"));
  ASSERT_TRUE(rig.WaitForBytes(2));
  rig.Send(LineText("out"));
  EXPECT_EQ(rig.remote.Read(3, kLinePatience), LineText("out"));
}

inline void LongBurstArrivesInOrderInChunksOfAtMost2048(LineRig& rig) {
  rig.open();
  const LineBytes burst = LinePattern(5000);
  rig.remote.Write(burst);
  ASSERT_TRUE(rig.WaitForBytes(burst.size()));
  EXPECT_EQ(rig.log.Received(), burst);
  EXPECT_GE(rig.log.chunks.size(), 3u);
  for (std::size_t i = 0; i < rig.log.chunks.size(); ++i) {
    EXPECT_GE(rig.log.chunks[i].size(), 1u);
    EXPECT_LE(rig.log.chunks[i].size(), TComm::kReadBufferSize);
    EXPECT_TRUE(rig.log.terminated[i]) << "byte after the reported length of chunk " << i;
  }
  EXPECT_EQ(rig.log.hangups, 0);
}

// Less than a full buffer: only the silence after it delivers it.
inline void SilenceEndsAChunk(LineRig& rig) {
  rig.open();
  rig.remote.Write(LineText("first"));
  ASSERT_TRUE(rig.WaitForBytes(5));
  const std::size_t chunksOfFirst = rig.log.chunks.size();
  rig.remote.Write(LineText("second"));
  ASSERT_TRUE(rig.WaitForBytes(11));
  EXPECT_EQ(rig.log.Received(), LineText("firstsecond"));
  EXPECT_GT(rig.log.chunks.size(), chunksOfFirst);
}

inline void SendDataRefusesWhenClosedOrEmpty(LineRig& rig) {
  const std::uint8_t byte = 'x';
  EXPECT_FALSE(rig.comm.SendData(&byte, 1));
  rig.open();
  EXPECT_FALSE(rig.comm.SendData(&byte, 0));
  rig.comm.CloseComm();
  EXPECT_FALSE(rig.comm.SendData(&byte, 1));
}

inline void JobsReachTheLineInOrderAndTheEmptyQueueIsReported(LineRig& rig) {
  rig.open();
  ASSERT_TRUE(rig.RunUntil([&] { return rig.log.empties >= 1; })) << "once after the open";
  LineBytes expected;
  for (int job = 0; job < 20; ++job) {
    LineBytes bytes = LinePattern(100 + job, job);
    rig.Send(bytes);
    expected.insert(expected.end(), bytes.begin(), bytes.end());
    bytes.assign(bytes.size(), 0);  // the caller's buffer is free as soon as the call returns
  }
  EXPECT_EQ(rig.remote.Read(expected.size(), kLinePatience), expected);
  EXPECT_TRUE(rig.RunUntil([&] { return rig.comm.AllSent(); }));
  EXPECT_GE(rig.log.empties, 2);
  EXPECT_EQ(rig.log.hangups, 0);
}

// Held back, a batch is reported empty once, after its bytes have gone.
inline void XoffHoldsOutputUntilXonAndEmptyComesOnceAfterTheBatch(LineRig& rig) {
  rig.open();
  ASSERT_TRUE(rig.RunUntil([&] { return rig.log.empties >= 1; }));
  rig.HoldOutput();
  LineBytes expected;
  for (int job = 0; job < 3; ++job) {
    const LineBytes bytes = LinePattern(50, job);
    rig.Send(bytes);
    expected.insert(expected.end(), bytes.begin(), bytes.end());
  }
  EXPECT_TRUE(rig.remote.Read(1, std::chrono::milliseconds(300)).empty()) << "nothing may pass while held";
  rig.loop.ProcessPendingEvents();
  EXPECT_EQ(rig.log.empties, 1);
  EXPECT_FALSE(rig.comm.AllSent());

  rig.remote.Write({kLineXon});
  EXPECT_EQ(rig.remote.Read(expected.size(), kLinePatience), expected);
  ASSERT_TRUE(rig.RunUntil([&] { return rig.comm.AllSent(); }));
  rig.comm.CloseComm();
  rig.loop.ProcessPendingEvents();
  EXPECT_EQ(rig.log.empties, 2);
  EXPECT_EQ(rig.log.hangups, 0);
}

// The owner closes as soon as it has heard that everything is on the line;
// the far end reads afterwards and must still find every byte.
inline void CloseRightAfterAllIsSentKeepsEveryByte(LineRig& rig) {
  for (int round = 0; round < rig.closeRounds; ++round) {
    SCOPED_TRACE(round);
    rig.open();
    LineBytes expected;
    for (int job = 0; job < 3; ++job) {
      const LineBytes bytes = LinePattern(20 + job, round + job);
      rig.Send(bytes);
      expected.insert(expected.end(), bytes.begin(), bytes.end());
    }
    EXPECT_FALSE(rig.comm.AllSent());
    ASSERT_TRUE(rig.RunUntil([&] { return rig.comm.AllSent(); }));
    rig.comm.CloseComm();
    EXPECT_FALSE(rig.comm.AllSent());
    ASSERT_EQ(rig.remote.Read(expected.size(), kLinePatience), expected);
  }
}

// The held write and the queued job are discarded; both threads end, so the
// port opens again at once, and only the new bytes come through.
inline void CloseWhileXoffHoldsTheLineEndsTheThreadsAndDiscardsTheJobs(LineRig& rig) {
  rig.open();
  rig.HoldOutput();
  const LineBytes held = LinePattern(1000);
  rig.Send(held);  // taken at once, held by the line
  rig.Send(held);  // not yet taken
  rig.comm.CloseComm();
  EXPECT_FALSE(rig.comm.IsOpen());
  rig.loop.ProcessPendingEvents();
  EXPECT_EQ(rig.log.hangups, 0);
  EXPECT_EQ(rig.comm.LastError(), PortError{});

  ASSERT_NO_THROW(rig.comm.OpenComm());
  rig.remote.Write({kLineXon});
  const LineBytes again = LinePattern(20, 7);
  rig.Send(again);
  EXPECT_EQ(rig.remote.Read(again.size(), kLinePatience), again);
  EXPECT_TRUE(rig.remote.Read(1, std::chrono::milliseconds(300)).empty()) << "bytes of the discarded jobs came through";
}

}  // namespace line_cases

inline const LineCase kLineCases[] = {
    {"SecondOpenIsRefusedAndThePortKeepsWorking", line_cases::SecondOpenIsRefusedAndThePortKeepsWorking},
    {"LongBurstArrivesInOrderInChunksOfAtMost2048", line_cases::LongBurstArrivesInOrderInChunksOfAtMost2048},
    {"SilenceEndsAChunk", line_cases::SilenceEndsAChunk},
    {"SendDataRefusesWhenClosedOrEmpty", line_cases::SendDataRefusesWhenClosedOrEmpty},
    {"JobsReachTheLineInOrderAndTheEmptyQueueIsReported",
     line_cases::JobsReachTheLineInOrderAndTheEmptyQueueIsReported},
    {"XoffHoldsOutputUntilXonAndEmptyComesOnceAfterTheBatch",
     line_cases::XoffHoldsOutputUntilXonAndEmptyComesOnceAfterTheBatch},
    {"CloseRightAfterAllIsSentKeepsEveryByte", line_cases::CloseRightAfterAllIsSentKeepsEveryByte},
    {"CloseWhileXoffHoldsTheLineEndsTheThreadsAndDiscardsTheJobs",
     line_cases::CloseWhileXoffHoldsTheLineEndsTheThreadsAndDiscardsTheJobs},
};

inline std::string LineCaseName(const ::testing::TestParamInfo<LineCase>& info) { return info.param.name; }

}  // namespace mx::test
