// The serial component's pure pieces: the Win32 flag word, the chunk end
// rule, the line-counter bits, the received-byte filter, the send queue and
// the held worker thread and its bounded end.

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "serial/EventLoop.h"
#include "serial/SerialPort_p.h"

namespace mx::serial {
namespace {

using namespace std::chrono_literals;

TComm::Settings WindowSettings() {
  TComm::Settings s;
  s.XonChar = '~';
  s.XoffChar = '}';
  return s;
}

TEST(DcbFlagWord, FollowsTheSettings) {
  struct Case {
    const char* name;
    void (*change)(TComm::Settings&);
    std::uint32_t word;
  };
  const Case cases[] = {
      {"window", [](TComm::Settings&) {}, 0x1391},
      {"all off",
       [](TComm::Settings& s) {
         s.DtrControl = TDtrControl::DtrDisable;
         s.RtsControl = TRtsControl::RtsDisable;
         s.TxContinueOnXoff = s.Outx_XonXoffFlow = s.Inx_XonXoffFlow = false;
       },
       0x0001},
      {"all on",
       [](TComm::Settings& s) {
         s.ParityCheck = s.Outx_CtsFlow = s.Outx_DsrFlow = s.DsrSensitivity = true;
         s.ReplaceWhenParityError = s.IgnoreNullChar = true;
         s.DtrControl = TDtrControl::DtrHandshake;
         s.RtsControl = TRtsControl::RtsTransmissionAvailable;
       },
       0x3FEF},
      {"rts handshake", [](TComm::Settings& s) { s.RtsControl = TRtsControl::RtsHandshake; }, 0x2391},
  };
  for (const Case& c : cases) {
    TComm::Settings s = WindowSettings();
    c.change(s);
    EXPECT_EQ(DcbFlagWord(s), c.word) << c.name;
  }
}

TEST(ChunkEnd, IntervalAndTotalLimits) {
  const Clock::time_point first{};
  const Clock::time_point last = first + 30ms;
  struct Case {
    ReadTimeouts timeouts;
    std::optional<Clock::time_point> end;
  };
  const Case cases[] = {
      {{100, 0, 0}, last + 100ms},            // silence after the latest byte
      {{0, 0, 0}, std::nullopt},              // only a full buffer
      {{0xFFFFFFFF, 0, 0}, last},             // whatever is ready now
      {{0, 0, 50}, first + 50ms},             // total from the first byte
      {{0, 1, 50}, first + 2048ms + 50ms},    // per byte of the buffer, plus the constant
      {{10, 0, 20}, first + 20ms},            // the earlier of the two
      {{0xFFFFFFFF, 0xFFFFFFFF, 500}, last},  // Win32's "wait for the first byte, then return"
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ChunkEnd(c.timeouts, first, last), c.end)
        << c.timeouts.interval << "/" << c.timeouts.multiplier << "/" << c.timeouts.constant;
  }
}

TEST(LineCounters, GrownCountersBecomeEventBits) {
  const LineCounters before{1, 1, 1, 1, 1, 1, 1};
  LineCounters after = before;
  EXPECT_EQ(LineErrorBits(before, after), 0u);
  EXPECT_EQ(ModemEventBits(before, after), 0u);

  after.frame = 2;
  after.parity = 3;
  EXPECT_EQ(LineErrorBits(before, after), CE_FRAME | CE_RXPARITY);
  after = before;
  after.overrun = 2;
  after.bufOverrun = 2;
  after.brk = 2;
  EXPECT_EQ(LineErrorBits(before, after), CE_OVERRUN | CE_RXOVER | CE_BREAK);
  EXPECT_EQ(ModemEventBits(before, after), 0u);

  after = before;
  after.dcd = 2;
  EXPECT_EQ(ModemEventBits(before, after), MODEM_RLSD);
  after.rng = 5;
  EXPECT_EQ(ModemEventBits(before, after), 12u);
  EXPECT_EQ(LineErrorBits(before, after), 0u);
}

Bytes Filtered(ReceivedByteFilter& filter, const Bytes& in) {
  Bytes out(in.size());
  out.resize(filter.Filter(in.data(), in.size(), out.data()));
  return out;
}

TEST(ReceivedByteFilter, UndoesMarksAndDropsNulls) {
  struct Case {
    const char* name;
    ReceivedByteFilter::Options options;
    std::vector<Bytes> reads;  // fed one after the other
    Bytes expected;
  };
  const ReceivedByteFilter::Options plain{};
  const ReceivedByteFilter::Options marked{true, false, 0, false};
  const ReceivedByteFilter::Options replacing{true, true, '?', false};
  const ReceivedByteFilter::Options noNulls{false, false, 0, true};
  const Case cases[] = {
      {"plain passes all", plain, {{0xFF, 0x00, 'a', 0x00}}, {0xFF, 0x00, 'a', 0x00}},
      {"doubled 0xFF", marked, {{'a', 0xFF, 0xFF, 'b'}}, {'a', 0xFF, 'b'}},
      {"marked byte kept", marked, {{'a', 0xFF, 0x00, 'x', 'b'}}, {'a', 'x', 'b'}},
      {"marked byte replaced", replacing, {{0xFF, 0x00, 'x', 0xFF, 0xFF}}, {'?', 0xFF}},
      {"break is a marked 0", marked, {{0xFF, 0x00, 0x00}}, {0x00}},
      {"marker split over reads", replacing, {{'a', 0xFF}, {0x00}, {'x', 'b'}}, {'a', '?', 'b'}},
      {"0xFF split over reads", marked, {{0xFF}, {0xFF, 'c'}}, {0xFF, 'c'}},
      {"nulls dropped", noNulls, {{0x00, 'a', 0x00, 0x00, 'b'}}, {'a', 'b'}},
  };
  for (const Case& c : cases) {
    ReceivedByteFilter filter;
    filter.SetOptions(c.options);
    Bytes out;
    for (const Bytes& read : c.reads) {
      const Bytes part = Filtered(filter, read);
      EXPECT_LE(part.size(), read.size()) << c.name;
      out.insert(out.end(), part.begin(), part.end());
    }
    EXPECT_EQ(out, c.expected) << c.name;
  }
}

TEST(SendQueue, KeepsOrderAndRefusesOnceClosed) {
  SendQueue queue;
  EXPECT_FALSE(queue.TryTake().has_value());
  EXPECT_TRUE(queue.Push({1}));
  EXPECT_TRUE(queue.Push({2, 2}));
  EXPECT_TRUE(queue.WaitForJob());
  EXPECT_EQ(queue.TryTake(), Bytes{1});
  EXPECT_EQ(queue.TryTake(), (Bytes{2, 2}));

  EXPECT_TRUE(queue.Push({3}));
  queue.Close();
  EXPECT_FALSE(queue.TryTake().has_value());  // dropped
  EXPECT_FALSE(queue.Push({4}));
  EXPECT_FALSE(queue.WaitForJob());
}

TEST(SendQueue, CloseWakesAWaitingThread) {
  SendQueue queue;
  std::atomic<bool> result{true};
  WorkerThread waiter([&] { result = queue.WaitForJob(); });
  waiter.Start();
  queue.Close();
  EXPECT_TRUE(waiter.WaitForEnd(5s));
  EXPECT_FALSE(result);
}

TEST(TransmitGate, AStopDiscardsOnlyWhatIsOnItsWay) {
  TransmitGate idle;
  EXPECT_FALSE(idle.Stop()) << "nothing written yet";
  EXPECT_FALSE(idle.BeginJob()) << "no job starts after a stop";

  TransmitGate writing;
  ASSERT_TRUE(writing.BeginJob());
  EXPECT_TRUE(writing.Stop());

  TransmitGate drained;
  ASSERT_TRUE(drained.BeginJob());
  drained.MarkDrained();
  EXPECT_FALSE(drained.Stop()) << "written and drained: the bytes are on the line";
}

TEST(WorkerThread, RunsOnlyWhenStarted) {
  std::atomic<int> runs{0};
  {
    WorkerThread discarded([&] { ++runs; });
    discarded.Discard();
    EXPECT_TRUE(discarded.WaitForEnd(5s));
  }
  {
    WorkerThread destroyedHeld([&] { ++runs; });
  }
  EXPECT_EQ(runs, 0);

  WorkerThread started([&] { ++runs; });
  started.Start();
  EXPECT_TRUE(started.WaitForEnd(5s));
  started.Join();
  EXPECT_EQ(runs, 1);
}

// A close keeps its bound: a thread still running at the limit is let go
// instead of joined, and keeps what its body holds until it ends.
TEST(WorkerThread, FinishLetsGoOfAThreadPastTheLimit) {
  struct Held {
    explicit Held(std::promise<void>& freed) : freed_(freed) {}
    ~Held() { freed_.set_value(); }
    std::promise<void>& freed_;
  };
  std::promise<void> release;
  std::promise<void> freed;
  std::future<void> heldFreed = freed.get_future();
  {
    WorkerThread stuck([held = std::make_shared<Held>(freed), ended = release.get_future().share()] {
      ended.wait();  // as a driver call that nothing wakes
    });
    stuck.Start();
    EXPECT_FALSE(FinishThread(stuck, 0ms));
  }  // destroying it now does not wait either
  EXPECT_EQ(heldFreed.wait_for(0s), std::future_status::timeout) << "the thread still holds its state";
  release.set_value();
  EXPECT_EQ(heldFreed.wait_for(5s), std::future_status::ready);

  WorkerThread quick([] {});
  quick.Start();
  EXPECT_TRUE(FinishThread(quick, 5s));
}

// While input is held only posted events run; the held input then runs
// once the last hold has ended, still in its order.
TEST(EventQueueInput, HeldWhileAHoldLasts) {
  EventQueue queue;
  std::vector<std::string> ran;
  queue.PostInput([&] { ran.push_back("click 1"); });
  queue.Post([&] { ran.push_back("notice"); });
  queue.PostInput([&] { ran.push_back("click 2"); });
  {
    const InputHold outer(queue);
    const InputHold nested(queue);
    queue.WaitForEvents(Clock::now() + std::chrono::seconds(5));
    EXPECT_EQ(ran, (std::vector<std::string>{"notice"}));
    EXPECT_EQ(queue.PendingCount(), 2u);
  }
  queue.ProcessPendingEvents();
  EXPECT_EQ(ran, (std::vector<std::string>{"notice", "click 1", "click 2"}));
}

}  // namespace
}  // namespace mx::serial
