// The serial component on Windows: the open errors of "\\.\COMn" device
// paths, the mapping of system errors, and real overlapped I/O through COM
// ports that Wine maps to pseudo-terminals: the cases every platform runs
// (serial/SerialLineCases.h) on a null-modem pair whose other end the test
// drives, and the simulated bootloader.

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
#include "serial/SerialLineCases.h"
#include "serial/SerialPort_p.h"

namespace mx::test {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

constexpr char kXon = '~';  // the program's flow-control characters
constexpr char kXoff = '}';
constexpr auto kDeliveryLimit = 10s;

std::string DevicePath(const std::string& port) { return "\\\\.\\" + port; }

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

class PeerFarEnd final : public FarEnd {
 public:
  explicit PeerFarEnd(const PeerPort& peer) : peer_(peer) {}
  void Write(const LineBytes& bytes) override { ASSERT_TRUE(peer_.Write(bytes)); }
  LineBytes Read(std::size_t count, std::chrono::milliseconds limit) override { return peer_.Read(count, limit); }

 private:
  const PeerPort& peer_;
};

// The cases every platform runs, through overlapped I/O on one end of the
// pair while the test drives the other.
class SerialWinLine : public ::testing::TestWithParam<LineCase> {
 protected:
  void SetUp() override {
    const std::vector<std::string> ports = EnvironmentWords(kNullModemVariable);
    ASSERT_EQ(ports.size(), 2u) << kNullModemVariable << kPortsMissing;
    UseProgramSettings(comm, ports[0]);
    log.Attach(comm);
    peer = std::make_unique<PeerPort>(ports[1]);
    ASSERT_TRUE(peer->Open()) << ports[1];
    remote = std::make_unique<PeerFarEnd>(*peer);
  }

  // The pseudo-terminal outlives the test: XON undoes an XOFF that an
  // earlier test may have left behind.
  void Open() {
    comm.OpenComm();
    ASSERT_TRUE(peer->Write(std::string{kXon}));
  }

  EventQueue loop;
  TComm comm{loop};
  LineLog log;
  std::unique_ptr<PeerPort> peer;
  std::unique_ptr<PeerFarEnd> remote;
};

TEST_P(SerialWinLine, OnANullModem) {
  LineRig rig{loop, comm, *remote, log, [this] { Open(); }, 20};
  GetParam().run(rig);
}

INSTANTIATE_TEST_SUITE_P(Cases, SerialWinLine, ::testing::ValuesIn(kLineCases), LineCaseName);

TEST(SerialWinErrors, SystemCodesMapOntoKinds) {
  struct Case {
    DWORD code;
    PortErrorKind kind;
  };
  const Case cases[] = {
      {ERROR_DEVICE_REMOVED, PortErrorKind::DeviceGone}, {ERROR_BAD_COMMAND, PortErrorKind::DeviceGone},
      {ERROR_ACCESS_DENIED, PortErrorKind::DeviceGone},  {ERROR_GEN_FAILURE, PortErrorKind::IoError},
      {ERROR_IO_DEVICE, PortErrorKind::IoError},         {ERROR_INVALID_PARAMETER, PortErrorKind::SettingRefused},
  };
  for (const Case& c : cases) {
    const PortError error = serial::SystemPortError(static_cast<int>(c.code), PortErrorKind::SettingRefused);
    EXPECT_EQ(error.kind, c.kind) << c.code;
    EXPECT_EQ(error.systemError, std::error_code(static_cast<int>(c.code), std::system_category()));
  }
}

// ---- The simulated bootloader ------------------------------------------------

// The device session of the protocol over the Win32 port: the greeting gets
// the version reply, and a close lets the last frame out.
TEST(SerialWinSimulator, TheGreetingGetsTheBootloaderVersion) {
  const std::vector<std::string> port = EnvironmentWords(kSimulatorPortVariable);
  ASSERT_EQ(port.size(), 1u) << kSimulatorPortVariable << kPortsMissing;
  struct Owner : SessionOwner {
    std::optional<VersionReply> version;
    std::optional<ReceiveOptions> HowToReceive() override { return ReceiveOptions{}; }
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
