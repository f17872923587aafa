// The serial component on Windows: the open errors of "\\.\COMn" device
// paths, and real overlapped I/O through COM ports that Wine maps to
// pseudo-terminals: a null-modem pair whose other end the test drives, and
// the simulated bootloader.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "WinTestSupport.h"
#include "protocol/DeviceSession.h"
#include "protocol/Frames.h"
#include "protocol/Handshake.h"
#include "protocol/ReplyParser.h"
#include "serial/EventLoop.h"
#include "serial/SerialComm.h"

namespace mx::test {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

constexpr char kXon = '~';  // the program's flow-control characters
constexpr char kXoff = '}';
constexpr auto kDeliveryLimit = 10s;

std::string DevicePath(const std::string& port) { return "\\\\.\\" + port; }

// Handles events until `done` holds or `limit` has passed; returns `done()`.
template <typename Done>
bool RunUntil(EventQueue& loop, Done done, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!done() && Clock::now() < deadline) loop.WaitForEvents(deadline);
  return done();
}

// Payload bytes that never collide with the flow-control characters.
Bytes Pattern(std::size_t count, std::uint8_t seed = 0) {
  Bytes bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>('0' + (seed + i) % 75);
  return bytes;
}

// The far end of the null-modem pair: a plain synchronous handle without
// flow control, driven by the test.
class PeerPort {
 public:
  explicit PeerPort(const std::string& port) {
    handle_ = CreateFileA(DevicePath(port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) return;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(handle_, &dcb);
    dcb.BaudRate = 38400;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    SetCommState(handle_, &dcb);
    PurgeComm(handle_, PURGE_RXCLEAR | PURGE_TXCLEAR);
  }
  ~PeerPort() {
    if (Open()) CloseHandle(handle_);
  }
  PeerPort(const PeerPort&) = delete;
  PeerPort& operator=(const PeerPort&) = delete;

  bool Open() const { return handle_ != INVALID_HANDLE_VALUE; }

  bool Write(const Bytes& bytes) const {
    DWORD written = 0;
    return WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
  }
  bool Write(const std::string& text) const { return Write(Bytes(text.begin(), text.end())); }

  // What arrives until `count` bytes are in or `limit` has passed. Each read
  // returns what is there, or waits for the first byte up to the time left.
  Bytes Read(std::size_t count, std::chrono::milliseconds limit) const {
    Bytes bytes;
    const auto deadline = Clock::now() + limit;
    while (bytes.size() < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) break;
      COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, static_cast<DWORD>(left.count()), 0, 0};
      SetCommTimeouts(handle_, &timeouts);
      std::uint8_t chunk[4096];
      DWORD got = 0;
      const DWORD want = static_cast<DWORD>(std::min<std::size_t>(sizeof chunk, count - bytes.size()));
      if (!ReadFile(handle_, chunk, want, &got, nullptr)) break;
      bytes.insert(bytes.end(), chunk, chunk + got);
    }
    return bytes;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// What the component raised, in order.
struct EventLog {
  std::vector<Bytes> chunks;
  std::vector<bool> terminated;  // each block had its 0 byte after the length
  int hangups = 0;
  int sendEmpty = 0;

  void Attach(TComm& comm) {
    comm.OnReceiveData = [this](TComm&, const std::uint8_t* buffer, std::uint16_t length) {
      chunks.emplace_back(buffer, buffer + length);
      terminated.push_back(buffer[length] == 0);
    };
    comm.OnRequestHangup = [this](TComm&) { ++hangups; };
    comm.OnSendDataEmpty = [this](TComm&) { ++sendEmpty; };
  }
  Bytes Received() const {
    Bytes all;
    for (const Bytes& chunk : chunks) all.insert(all.end(), chunk.begin(), chunk.end());
    return all;
  }
};

// The program's line settings: 38400 8N1, XON/XOFF both ways with '~' and '}'.
void UseProgramSettings(TComm& comm, const std::string& port) {
  comm.SetCommName(DevicePath(port));
  comm.SetXonChar(kXon);
  comm.SetXoffChar(kXoff);
}

// ---- Open errors ------------------------------------------------------------

struct OpenErrorCase {
  const char* name;
  std::string (*path)(const WinTempDir& dir);
  const char* message;
};

void PrintTo(const OpenErrorCase& value, std::ostream* out) { *out << value.name; }

class SerialWinOpenError : public ::testing::TestWithParam<OpenErrorCase> {};

TEST_P(SerialWinOpenError, RaisesItsMessageAndLeavesTheComponentClosed) {
  WinTempDir dir;
  WriteFileBytes(dir / "plain.txt", "not a port");
  EventQueue loop;
  TComm comm(loop);
  comm.SetCommName(GetParam().path(dir));
  try {
    comm.OpenComm();
    ADD_FAILURE() << "opened " << comm.CommName();
  } catch (const ECommsError& error) {
    EXPECT_STREQ(error.what(), GetParam().message);
  }
  EXPECT_FALSE(comm.IsOpen());
  const std::uint8_t byte = 'x';
  EXPECT_FALSE(comm.SendData(&byte, 1));
  EXPECT_TRUE(DeleteFileA((dir / "plain.txt").c_str())) << "the file must not stay open";
}

INSTANTIATE_TEST_SUITE_P(
    Paths, SerialWinOpenError,
    ::testing::Values(
        OpenErrorCase{"MissingPort", [](const WinTempDir&) { return DevicePath("COM199"); },
                      "Error opening serial port"},
        OpenErrorCase{"EmptyName", [](const WinTempDir&) { return std::string(); }, "Error opening serial port"},
        OpenErrorCase{"DevicePathOfEmptyName", [](const WinTempDir&) { return DevicePath(""); },
                      "Error opening serial port"},
        OpenErrorCase{"Directory", [](const WinTempDir& dir) { return dir.Path(); }, "Error opening serial port"},
        OpenErrorCase{"RegularFile", [](const WinTempDir& dir) { return dir / "plain.txt"; },
                      "File handle is not a comm handle "},
        // A character device, but no serial port: the driver queues are refused.
        OpenErrorCase{"NulDevice", [](const WinTempDir&) { return DevicePath("NUL"); }, "Cannot setup comm buffer"}),
    [](const ::testing::TestParamInfo<OpenErrorCase>& info) { return info.param.name; });

// ---- The null-modem pair ----------------------------------------------------

class SerialWinNullModem : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::vector<std::string> ports = EnvironmentWords(kNullModemVariable);
    ASSERT_EQ(ports.size(), 2u) << kNullModemVariable << kPortsMissing;
    UseProgramSettings(comm, ports[0]);
    log.Attach(comm);
    peer = std::make_unique<PeerPort>(ports[1]);
    ASSERT_TRUE(peer->Open()) << ports[1];
    ASSERT_NO_THROW(comm.OpenComm());
    // The pseudo-terminal outlives the test: undo an XOFF that an earlier
    // test may have left behind.
    ASSERT_TRUE(peer->Write(std::string{kXon}));
  }

  // Sends XOFF from the far end, followed by a marker byte; once the marker
  // has been delivered, the XOFF before it has been acted on.
  void HoldOutputWithXoff() {
    ASSERT_TRUE(peer->Write(std::string{kXoff, '!'}));
    ASSERT_TRUE(RunUntil(
        loop, [&] { return !log.Received().empty(); }, kDeliveryLimit));
    EXPECT_EQ(log.Received(), Bytes{'!'}) << "the XOFF character itself is not delivered";
  }

  void Send(const Bytes& bytes) { ASSERT_TRUE(comm.SendData(bytes.data(), static_cast<std::uint16_t>(bytes.size()))); }

  EventQueue loop;
  TComm comm{loop};
  EventLog log;
  std::unique_ptr<PeerPort> peer;
};

TEST_F(SerialWinNullModem, SecondOpenIsRefusedAndLeavesThePortWorking) {
  try {
    comm.OpenComm();
    ADD_FAILURE() << "opened twice";
  } catch (const ECommsError& error) {
    EXPECT_STREQ(error.what(), "This serial port already opened");
  }
  ASSERT_TRUE(comm.IsOpen());
  Send(Pattern(10));
  EXPECT_EQ(peer->Read(10, kDeliveryLimit), Pattern(10));
}

TEST_F(SerialWinNullModem, LongBurstArrivesInOrderInChunksOfAtMost2048) {
  const Bytes burst = Pattern(5000);
  ASSERT_TRUE(peer->Write(burst));
  ASSERT_TRUE(RunUntil(
      loop, [&] { return log.Received().size() >= burst.size(); }, kDeliveryLimit));

  EXPECT_EQ(log.Received(), burst);
  EXPECT_GE(log.chunks.size(), 3u);
  for (const Bytes& chunk : log.chunks) {
    EXPECT_GE(chunk.size(), 1u);
    EXPECT_LE(chunk.size(), TComm::kReadBufferSize);
  }
  EXPECT_TRUE(std::all_of(log.terminated.begin(), log.terminated.end(), [](bool zero) { return zero; }));
  EXPECT_EQ(log.hangups, 0);
}

TEST_F(SerialWinNullModem, ShortBurstIsDeliveredWithoutWaitingForMore) {
  const Bytes first = Pattern(30, 0);
  const Bytes second = Pattern(30, 40);
  ASSERT_TRUE(peer->Write(first));
  ASSERT_TRUE(RunUntil(
      loop, [&] { return log.Received().size() >= first.size(); }, kDeliveryLimit));
  const std::size_t chunksOfFirst = log.chunks.size();
  ASSERT_TRUE(peer->Write(second));
  ASSERT_TRUE(RunUntil(
      loop, [&] { return log.Received().size() >= first.size() + second.size(); }, kDeliveryLimit));

  Bytes both = first;
  both.insert(both.end(), second.begin(), second.end());
  EXPECT_EQ(log.Received(), both);
  EXPECT_GT(log.chunks.size(), chunksOfFirst);
}

TEST_F(SerialWinNullModem, JobsAreWrittenInOrderAndTheEmptyQueueIsReported) {
  ASSERT_TRUE(RunUntil(
      loop, [&] { return log.sendEmpty >= 1; }, kDeliveryLimit))
      << "raised once after the open";
  const int emptyBefore = log.sendEmpty;
  Bytes all;
  for (std::uint8_t job = 0; job < 20; ++job) {
    const Bytes bytes = Pattern(100 + job, job);
    Send(bytes);
    all.insert(all.end(), bytes.begin(), bytes.end());
  }
  EXPECT_EQ(peer->Read(all.size(), kDeliveryLimit), all);
  EXPECT_TRUE(RunUntil(
      loop, [&] { return log.sendEmpty > emptyBefore; }, kDeliveryLimit));
  EXPECT_EQ(log.hangups, 0);
}

TEST_F(SerialWinNullModem, XoffHoldsOutputBackUntilXon) {
  HoldOutputWithXoff();
  const Bytes held = Pattern(64);
  Send(held);
  EXPECT_TRUE(peer->Read(held.size(), 500ms).empty()) << "nothing may pass while held by XOFF";

  ASSERT_TRUE(peer->Write(std::string{kXon}));
  EXPECT_EQ(peer->Read(held.size(), kDeliveryLimit), held);
  EXPECT_EQ(log.hangups, 0);
}

TEST_F(SerialWinNullModem, CloseWhileHeldByXoffEndsPromptlyAndDiscardsTheJobs) {
  HoldOutputWithXoff();
  for (int job = 0; job < 4; ++job) Send(Pattern(60000, static_cast<std::uint8_t>(job)));

  const auto start = Clock::now();
  comm.CloseComm();
  EXPECT_LT(Clock::now() - start, TComm::kThreadStopTimeout / 2) << "the write must end through the stop event";
  EXPECT_FALSE(comm.IsOpen());
  loop.ProcessPendingEvents();
  EXPECT_EQ(log.hangups, 0);

  // The port opens again; once XON has come, only the new bytes arrive.
  ASSERT_NO_THROW(comm.OpenComm());
  ASSERT_TRUE(peer->Write(std::string{kXon}));
  const Bytes again = Pattern(20, 7);
  Send(again);
  EXPECT_EQ(peer->Read(again.size(), kDeliveryLimit), again);
  EXPECT_TRUE(peer->Read(1, 300ms).empty()) << "bytes of the discarded jobs came through";
}

// ---- The simulated bootloader ------------------------------------------------

// The device session of the protocol over the Win32 port: the greeting gets
// the version reply, and a close lets the last frame out.
TEST(SerialWinSimulator, TheGreetingGetsTheBootloaderVersion) {
  const std::vector<std::string> port = EnvironmentWords(kSimulatorPortVariable);
  ASSERT_EQ(port.size(), 1u) << kSimulatorPortVariable << kPortsMissing;
  struct Owner : SessionOwner {
    std::optional<VersionReply> version;
    std::optional<ReceiveOptions> HowToReceive() override { return ReceiveOptions{true, false}; }
    void ChunkParsed(const ReceiveResult& result) override {
      if (result.version) version = result.version;
    }
    void ChunkShownRaw(std::span<const std::uint8_t>) override {}
    void WaitStarted() override {}
    void WaitEnded(Reply) override {}
    void PortLost() override {}
  } owner;
  EventQueue loop;
  DeviceSession session(loop, owner);
  UseProgramSettings(session.Port(), port[0]);
  ASSERT_NO_THROW(session.Open(session.Port().CommName()));

  const Greeting greeting = GreetBootloader(session, kDeliveryLimit);
  EXPECT_TRUE(greeting.requestQueued);
  EXPECT_EQ(greeting.reply, Reply::Version);
  ASSERT_TRUE(owner.version.has_value());
  EXPECT_EQ(owner.version->major, 1);
  EXPECT_EQ(owner.version->minor, 1);
  session.Send(kVersionFrame);
  session.Close();
  EXPECT_FALSE(session.LastCloseLostFrames());
}

}  // namespace
}  // namespace mx::test
