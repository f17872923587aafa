// TComm on real pseudo-terminals: the test drives the master side, the
// component opens the slave, and the owner loop is a real EventQueue.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "serial/SerialComm.h"
#include "serial/SerialLineCases.h"
#include "serial/SerialPort_p.h"
#include "support/Pty.h"

namespace mx {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

constexpr auto kPatience = 5s;  // far beyond any wait that succeeds
constexpr std::uint8_t kXon = '~';
constexpr std::uint8_t kXoff = '}';

// Bytes that hold no flow-control character.
Bytes Pattern(std::size_t count, int seed = 0) {
  Bytes bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>('0' + (i * 31 + seed) % 75);
  return bytes;
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

int OpenDescriptorCount() {
  int count = 0;
  DIR* dir = ::opendir("/proc/self/fd");
  while (::readdir(dir) != nullptr) ++count;
  ::closedir(dir);
  return count;  // the same constant extra (".", "..", the directory itself) every time
}

// Handles the owner's events until `done` holds or the patience runs out.
bool RunUntil(EventLoop& loop, const std::function<bool()>& done) {
  const Clock::time_point deadline = Clock::now() + kPatience;
  while (!done() && Clock::now() < deadline) loop.WaitForEvents(deadline);
  return done();
}

// Everything the component reports.
struct Recorder {
  std::vector<Bytes> blocks;  // each with the byte after its reported length
  int hangups = 0;
  std::vector<PortError> hangupErrors;  // LastError as each hang-up was raised
  int empties = 0;

  void Attach(TComm& comm) {
    comm.OnReceiveData = [this](TComm&, const std::uint8_t* buffer, std::uint16_t length) {
      blocks.emplace_back(buffer, buffer + length + 1);
    };
    comm.OnRequestHangup = [this](TComm& c) {
      ++hangups;
      hangupErrors.push_back(c.LastError());
    };
    comm.OnSendDataEmpty = [this](TComm&) { ++empties; };
  }

  Bytes Payload(std::size_t i) const { return Bytes(blocks[i].begin(), blocks[i].end() - 1); }
  Bytes Received() const {
    Bytes all;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      const Bytes part = Payload(i);
      all.insert(all.end(), part.begin(), part.end());
    }
    return all;
  }
};

class SerialCommTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Held by the test too, so that the pty outlives the component's close
    // and its settings can be read at any time.
    keeper_ = ::open(pty_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(keeper_, 0);
    comm_ = std::make_unique<TComm>(loop_);
    comm_->SetCommName(pty_.SlavePath());
    comm_->SetXonChar(static_cast<char>(kXon));  // as the window sets them
    comm_->SetXoffChar(static_cast<char>(kXoff));
    recorder_.Attach(*comm_);
  }
  void TearDown() override {
    comm_.reset();
    if (keeper_ >= 0) ::close(keeper_);
  }

  termios SlaveSettings() const {
    termios t{};
    EXPECT_EQ(::tcgetattr(keeper_, &t), 0);
    return t;
  }
  speed_t SlaveSpeed() const {
    const termios t = SlaveSettings();
    return ::cfgetospeed(&t);
  }

  void WaitForEmpties(int count) {
    ASSERT_TRUE(RunUntil(loop_, [&] { return recorder_.empties >= count; })) << recorder_.empties;
  }
  void WaitForBytes(std::size_t count) {
    ASSERT_TRUE(RunUntil(loop_, [&] { return recorder_.Received().size() >= count; })) << recorder_.Received().size();
  }

  // XOFF from the far end, followed by a marker byte: once the marker has
  // arrived the XOFF has been handled and our output is held.
  void HoldOutput() {
    const std::size_t before = recorder_.Received().size();
    pty_.Write({kXoff, '!'});
    WaitForBytes(before + 1);
  }

  EventQueue loop_;
  test::Pty pty_;
  int keeper_ = -1;
  Recorder recorder_;
  std::unique_ptr<TComm> comm_;
};

// ---------------------------------------------------------------------------
// Receiving

TEST_F(SerialCommTest, BytesWithinTheReadIntervalJoinOneChunk) {
  comm_->OpenComm();
  comm_->SetReadIntervalTimeout(1000);  // applied to the open port
  pty_.Write(Text("one "));
  pty_.Write(Text("chunk"));
  WaitForBytes(9);

  ASSERT_EQ(recorder_.blocks.size(), 1u);
  EXPECT_EQ(recorder_.Payload(0), Text("one chunk"));
}

TEST_F(SerialCommTest, ReceiveFilterFollowsTheSettings) {
  struct Case {
    const char* name;
    void (*configure)(TComm&);
    Bytes sent;
    Bytes expected;
  };
  const Case cases[] = {
      {"bytes as they are", [](TComm&) {}, {'a', 0x00, 0xFF, 'b'}, {'a', 0x00, 0xFF, 'b'}},
      {"nulls dropped", [](TComm& c) { c.SetIgnoreNullChar(true); }, {0x00, 'a', 0x00, 'b'}, {'a', 'b'}},
      // With parity checking the driver doubles a received 0xFF; the byte still arrives once.
      {"parity checking keeps 0xFF", [](TComm& c) { c.SetParityCheck(true); }, {'a', 0xFF, 'b'}, {'a', 0xFF, 'b'}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    recorder_.blocks.clear();
    TComm comm(loop_);
    comm.SetCommName(pty_.SlavePath());
    recorder_.Attach(comm);
    c.configure(comm);
    comm.OpenComm();
    pty_.Write(c.sent);
    ASSERT_TRUE(RunUntil(loop_, [&] { return recorder_.Received().size() >= c.expected.size(); }));
    comm.CloseComm();
    loop_.ProcessPendingEvents();
    EXPECT_EQ(recorder_.Received(), c.expected);
  }
}

TEST_F(SerialCommTest, HandlerThatHandlesEventsReceivesTheNextChunkNested) {
  struct Call {
    Bytes payload;
    int depth;
  };
  std::vector<Call> calls;
  int depth = 0;
  comm_->OnReceiveData = [&](TComm&, const std::uint8_t* buffer, std::uint16_t length) {
    ++depth;
    calls.push_back({Bytes(buffer, buffer + length), depth});
    if (calls.size() == 1) {
      pty_.Write(Text("second"));
      RunUntil(loop_, [&] { return calls.size() >= 2; });  // as a reply wait does
    }
    --depth;
  };
  comm_->OpenComm();
  pty_.Write(Text("first"));
  ASSERT_TRUE(RunUntil(loop_, [&] { return calls.size() >= 2; }));

  EXPECT_EQ(calls[0].payload, Text("first"));
  EXPECT_EQ(calls[0].depth, 1);
  EXPECT_EQ(calls[1].payload, Text("second"));
  EXPECT_EQ(calls[1].depth, 2);
  EXPECT_EQ(depth, 0);
}

// ---------------------------------------------------------------------------
// The cases that every platform runs

class PtyFarEnd final : public test::FarEnd {
 public:
  explicit PtyFarEnd(const test::Pty& pty) : pty_(pty) {}
  void Write(const Bytes& bytes) override { pty_.Write(bytes); }
  Bytes Read(std::size_t count, std::chrono::milliseconds limit) override { return pty_.Read(count, limit); }

 private:
  const test::Pty& pty_;
};

class SerialLine : public SerialCommTest, public ::testing::WithParamInterface<test::LineCase> {};

TEST_P(SerialLine, OnAPseudoTerminal) {
  test::LineLog log;
  log.Attach(*comm_);
  PtyFarEnd remote(pty_);
  test::LineRig rig{loop_, *comm_, remote, log, [this] { comm_->OpenComm(); }, 100};
  GetParam().run(rig);
}

INSTANTIATE_TEST_SUITE_P(Cases, SerialLine, ::testing::ValuesIn(test::kLineCases), test::LineCaseName);

// ---------------------------------------------------------------------------
// Opening and closing

TEST_F(SerialCommTest, FailedOpenRaisesItsMessageAndLeavesNothingOpen) {
  char regularFile[] = "/tmp/mx-serial-test-XXXXXX";
  const int fileFd = ::mkstemp(regularFile);
  ASSERT_GE(fileFd, 0);
  ::close(fileFd);
  TComm holder(loop_);  // another component that has the pty already
  holder.SetCommName(pty_.SlavePath());
  holder.OpenComm();

  // The component's fixed message, and the system's reason where it gave one.
  struct Case {
    std::string name;
    std::string message;
    std::error_code systemError;
  };
  const Case cases[] = {
      {"/nonexistent/ttyS99", "Error opening serial port", std::make_error_code(std::errc::no_such_file_or_directory)},
      {"/tmp", "Error opening serial port", std::make_error_code(std::errc::is_a_directory)},
      {regularFile, "File handle is not a comm handle ", {}},
      {"/dev/null", "Cannot setup comm buffer", std::make_error_code(std::errc::inappropriate_io_control_operation)},
      {pty_.SlavePath(), "Error opening serial port", std::make_error_code(std::errc::device_or_resource_busy)},
  };
  for (const Case& c : cases) {
    const int before = OpenDescriptorCount();
    comm_->SetCommName(c.name);
    try {
      comm_->OpenComm();
      ADD_FAILURE() << c.name << " opened";
    } catch (const ECommsError& error) {
      EXPECT_EQ(std::string(error.what()), c.message) << c.name;
      EXPECT_EQ(error.SystemError(), c.systemError) << c.name << ": " << error.SystemError().message();
    }
    ASSERT_TRUE(comm_->LastOpenFailure()) << c.name;
    EXPECT_EQ(comm_->LastOpenFailure()->SystemError(), c.systemError) << c.name;
    EXPECT_FALSE(comm_->IsOpen()) << c.name;
    EXPECT_EQ(OpenDescriptorCount(), before) << c.name;
  }
  ::unlink(regularFile);

  holder.CloseComm();
  comm_->SetCommName(pty_.SlavePath());
  comm_->OpenComm();
  EXPECT_TRUE(comm_->IsOpen());
  EXPECT_FALSE(comm_->LastOpenFailure()) << "a successful open forgets the failure";
}

TEST_F(SerialCommTest, OpenWithoutADescriptorForTheStopSignal) {
  // The sanitizer runtimes need descriptors for some of their checks: run the
  // open and the failure paths once first, so that those checks are settled
  // before the limit is lowered.
  comm_->OpenComm();
  comm_->CloseComm();
  TComm absent(loop_);
  absent.SetCommName("/nonexistent/ttyS99");
  EXPECT_THROW(absent.OpenComm(), ECommsError);

  // Lower the descriptor limit so that the port's descriptor is the last one
  // that fits: the stop signal then cannot be made.
  auto isFree = [](int fd) { return ::fcntl(fd, F_GETFD) == -1; };
  int firstFree = 0;
  while (!isFree(firstFree)) ++firstFree;
  int secondFree = firstFree + 1;
  while (!isFree(secondFree)) ++secondFree;
  rlimit original{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
  rlimit lowered = original;
  lowered.rlim_cur = static_cast<rlim_t>(secondFree);
  const int before = OpenDescriptorCount();

  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  std::string message;
  try {
    comm_->OpenComm();
  } catch (const ECommsError& error) {
    message = error.what();
  }
  ::setrlimit(RLIMIT_NOFILE, &original);

  EXPECT_EQ(message, "Unable to create event");
  EXPECT_FALSE(comm_->IsOpen());
  EXPECT_EQ(OpenDescriptorCount(), before);
  comm_->OpenComm();  // the port was let go
  EXPECT_TRUE(comm_->IsOpen());
}

TEST_F(SerialCommTest, CloseTwiceThenReopenRestoresTheSettingsAndWorksAfresh) {
  termios cooked = SlaveSettings();
  cooked.c_lflag |= ICANON | ECHO;
  ASSERT_EQ(::tcsetattr(keeper_, TCSANOW, &cooked), 0);
  const int before = OpenDescriptorCount();

  comm_->CloseComm();  // closed already: nothing happens
  comm_->OpenComm();
  EXPECT_EQ(SlaveSettings().c_lflag & (ICANON | ECHO), 0u);
  comm_->CloseComm();
  comm_->CloseComm();
  EXPECT_FALSE(comm_->IsOpen());
  EXPECT_EQ(SlaveSettings().c_lflag & (ICANON | ECHO), tcflag_t{ICANON | ECHO});  // put back
  EXPECT_EQ(OpenDescriptorCount(), before);

  loop_.ProcessPendingEvents();  // what the first open posted before its close
  const int emptiesBefore = recorder_.empties;
  comm_->OpenComm();
  WaitForEmpties(emptiesBefore + 1);  // a fresh transmit thread
  pty_.Write(Text("again"));
  WaitForBytes(5);
  EXPECT_EQ(recorder_.Received(), Text("again"));
}

// The far end goes away while both threads wait on the line: one notice,
// which finds the reason already kept: the device is gone, with the
// system's EIO where the read gave one.
TEST_F(SerialCommTest, HangUpEndsTheThreadsWithOneNoticeAndItsReason) {
  comm_->OpenComm();
  HoldOutput();
  const Bytes held = Pattern(500);
  ASSERT_TRUE(comm_->SendData(held.data(), static_cast<std::uint16_t>(held.size())));

  pty_.Close();
  ASSERT_TRUE(RunUntil(loop_, [&] { return recorder_.hangups >= 1; }));
  EXPECT_TRUE(comm_->IsOpen());  // until the owner closes it
  EXPECT_FALSE(comm_->SendData(held.data(), 1));
  ASSERT_EQ(recorder_.hangupErrors.size(), 1u);
  const PortError& reason = recorder_.hangupErrors[0];
  EXPECT_EQ(reason.kind, PortErrorKind::DeviceGone) << PortErrorKindName(reason.kind);
  EXPECT_TRUE(!reason.systemError || reason.systemError == std::error_code(EIO, std::generic_category()))
      << reason.systemError.message();

  comm_->CloseComm();
  loop_.ProcessPendingEvents();
  EXPECT_EQ(recorder_.hangups, 1);
  EXPECT_EQ(comm_->LastError(), reason) << "kept after the close";
}

// ---------------------------------------------------------------------------
// Settings

TEST_F(SerialCommTest, WindowSettingsReachThePort) {
  comm_->OpenComm();
  const termios t = SlaveSettings();
  EXPECT_EQ(::cfgetospeed(&t), speed_t{B38400});
  EXPECT_EQ(::cfgetispeed(&t), speed_t{B38400});
  EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t{CS8});
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | INPCK | PARMRK), tcflag_t{IXON | IXOFF});
  EXPECT_EQ(t.c_cc[VSTART], kXon);
  EXPECT_EQ(t.c_cc[VSTOP], kXoff);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
}

struct TermiosCase {
  const char* name;
  void (*configure)(TComm::Settings&);
  tcflag_t termios::*field;
  tcflag_t mask;
  tcflag_t expected;
};

const TermiosCase kTermiosCases[] = {
    {"none", [](TComm::Settings&) {}, &termios::c_cflag, PARENB | PARODD | CMSPAR, 0},
    {"odd", [](TComm::Settings& s) { s.Parity = TParity::Odd; }, &termios::c_cflag, PARENB | PARODD | CMSPAR,
     PARENB | PARODD},
    {"even", [](TComm::Settings& s) { s.Parity = TParity::Even; }, &termios::c_cflag, PARENB | PARODD | CMSPAR, PARENB},
    {"mark", [](TComm::Settings& s) { s.Parity = TParity::Mark; }, &termios::c_cflag, PARENB | PARODD | CMSPAR,
     PARENB | PARODD | CMSPAR},
    {"space", [](TComm::Settings& s) { s.Parity = TParity::Space; }, &termios::c_cflag, PARENB | PARODD | CMSPAR,
     PARENB | CMSPAR},
    {"8 bits", [](TComm::Settings&) {}, &termios::c_cflag, CSIZE, CS8},
    {"7 bits", [](TComm::Settings& s) { s.ByteSize = TByteSize::_7; }, &termios::c_cflag, CSIZE, CS7},
    {"5 bits", [](TComm::Settings& s) { s.ByteSize = TByteSize::_5; }, &termios::c_cflag, CSIZE, CS5},
    {"1 stop bit", [](TComm::Settings&) {}, &termios::c_cflag, CSTOPB, 0},
    {"1.5 stop bits", [](TComm::Settings& s) { s.StopBits = TStopBits::_1_5; }, &termios::c_cflag, CSTOPB, CSTOPB},
    {"2 stop bits", [](TComm::Settings& s) { s.StopBits = TStopBits::_2; }, &termios::c_cflag, CSTOPB, CSTOPB},
    {"no hardware flow", [](TComm::Settings&) {}, &termios::c_cflag, CRTSCTS, 0},
    {"cts flow", [](TComm::Settings& s) { s.Outx_CtsFlow = true; }, &termios::c_cflag, CRTSCTS, CRTSCTS},
    {"rts handshake", [](TComm::Settings& s) { s.RtsControl = TRtsControl::RtsHandshake; }, &termios::c_cflag, CRTSCTS,
     CRTSCTS},
    {"no parity check", [](TComm::Settings&) {}, &termios::c_iflag, INPCK | PARMRK | IGNPAR, 0},
    {"parity check", [](TComm::Settings& s) { s.ParityCheck = true; }, &termios::c_iflag, INPCK | PARMRK | IGNPAR,
     INPCK | PARMRK},
    {"xon/xoff both ways", [](TComm::Settings&) {}, &termios::c_iflag, IXON | IXOFF | IXANY, IXON | IXOFF},
    {"no xon/xoff",
     [](TComm::Settings& s) {
       s.Outx_XonXoffFlow = false;
       s.Inx_XonXoffFlow = false;
     },
     &termios::c_iflag, IXON | IXOFF, 0},
    {"output xon/xoff only", [](TComm::Settings& s) { s.Inx_XonXoffFlow = false; }, &termios::c_iflag, IXON | IXOFF,
     IXON},
    {"raw input", [](TComm::Settings&) {}, &termios::c_iflag, ICRNL | INLCR | IGNCR | ISTRIP | BRKINT | IGNBRK, 0},
    {"raw output", [](TComm::Settings&) {}, &termios::c_oflag, OPOST, 0},
    {"raw local modes", [](TComm::Settings&) {}, &termios::c_lflag, ICANON | ECHO | ECHONL | ISIG | IEXTEN, 0},
    {"receiver on, no carrier wait", [](TComm::Settings&) {}, &termios::c_cflag, CREAD | CLOCAL, CREAD | CLOCAL},
};

TComm::Settings WindowSettings() {
  TComm::Settings s;
  s.XonChar = static_cast<char>(kXon);
  s.XoffChar = static_cast<char>(kXoff);
  return s;
}

// Every bit of the mapping, on settings as a terminal starts out (cooked, with
// stale framing bits).
TEST(TermiosMapping, EachLineSettingMapsOntoTermios) {
  termios cooked{};
  cooked.c_iflag = ICRNL | IXANY | IGNPAR | ISTRIP;
  cooked.c_oflag = OPOST | ONLCR;
  cooked.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
  cooked.c_cflag = CS7 | PARENB | CSTOPB | CRTSCTS;
  for (const TermiosCase& c : kTermiosCases) {
    TComm::Settings settings = WindowSettings();
    c.configure(settings);
    termios t = cooked;
    EXPECT_TRUE(serial::SetTermios(t, settings)) << c.name;
    EXPECT_EQ(t.*c.field & c.mask, c.expected) << c.name;
  }
}

TEST(TermiosMapping, SpeedsAndFlowCharacters) {
  termios t{};
  TComm::Settings settings = WindowSettings();
  ASSERT_TRUE(serial::SetTermios(t, settings));
  EXPECT_EQ(::cfgetospeed(&t), speed_t{B38400});
  EXPECT_EQ(::cfgetispeed(&t), speed_t{B38400});
  EXPECT_EQ(t.c_cc[VSTART], kXon);
  EXPECT_EQ(t.c_cc[VSTOP], kXoff);
  EXPECT_EQ(t.c_cc[VMIN], 1);
  EXPECT_EQ(t.c_cc[VTIME], 0);

  settings.BaudRate = 115200;
  ASSERT_TRUE(serial::SetTermios(t, settings));
  EXPECT_EQ(::cfgetospeed(&t), speed_t{B115200});
  settings.BaudRate = 12345;  // no speed code: refused, the speed stays
  EXPECT_FALSE(serial::SetTermios(t, settings));
  EXPECT_EQ(::cfgetospeed(&t), speed_t{B115200});
}

// The same mapping through a real open. The pty driver forces 8 data bits
// and no parity enable, so only the bits it keeps are looked at.
TEST_F(SerialCommTest, LineSettingsReachThePort) {
  for (const TermiosCase& c : kTermiosCases) {
    if (c.mask == CSIZE) continue;  // forced to CS8 by the pty
    TComm::Settings settings;
    c.configure(settings);
    TComm comm(loop_);
    comm.SetCommName(pty_.SlavePath());
    comm.SetParity(settings.Parity);
    comm.SetByteSize(settings.ByteSize);
    comm.SetStopBits(settings.StopBits);
    comm.SetOutx_CtsFlow(settings.Outx_CtsFlow);
    comm.SetRtsControl(settings.RtsControl);
    comm.SetParityCheck(settings.ParityCheck);
    comm.SetOutx_XonXoffFlow(settings.Outx_XonXoffFlow);
    comm.SetInx_XonXoffFlow(settings.Inx_XonXoffFlow);
    comm.OpenComm();
    const tcflag_t kept = c.field == &termios::c_cflag ? static_cast<tcflag_t>(~PARENB) : ~tcflag_t{0};
    EXPECT_EQ(SlaveSettings().*c.field & c.mask & kept, c.expected & kept) << c.name;
  }
}

TEST_F(SerialCommTest, SettersWhileClosedTouchNoPort) {
  const termios before = SlaveSettings();
  comm_->SetBaudRate(9600);
  comm_->SetStopBits(TStopBits::_2);
  comm_->SetOutx_CtsFlow(true);
  comm_->SetReadIntervalTimeout(5);
  const termios after = SlaveSettings();
  EXPECT_EQ(::cfgetospeed(&after), ::cfgetospeed(&before));
  EXPECT_EQ(after.c_cflag, before.c_cflag);

  comm_->OpenComm();  // stored values take effect now
  const termios opened = SlaveSettings();
  EXPECT_EQ(::cfgetospeed(&opened), speed_t{B9600});
  EXPECT_EQ(opened.c_cflag & (CSTOPB | CRTSCTS), tcflag_t{CSTOPB | CRTSCTS});
}

TEST_F(SerialCommTest, SetterWhileOpenAppliesOnlyAChange) {
  comm_->OpenComm();
  termios changedBehind = SlaveSettings();
  ::cfsetospeed(&changedBehind, B9600);
  ::cfsetispeed(&changedBehind, B9600);
  changedBehind.c_lflag |= ECHO;
  ASSERT_EQ(::tcsetattr(keeper_, TCSANOW, &changedBehind), 0);

  comm_->SetBaudRate(38400);  // unchanged: nothing re-applied
  termios t = SlaveSettings();
  EXPECT_EQ(::cfgetospeed(&t), speed_t{B9600});

  comm_->SetBaudRate(19200);  // the whole set again
  t = SlaveSettings();
  EXPECT_EQ(::cfgetospeed(&t), speed_t{B19200});
  EXPECT_EQ(t.c_lflag & ECHO, 0u);
}

// A rate without a speed code: the open still succeeds and the rest of the
// settings apply, the speed stays, and the refusal is kept until the next
// open; the window's calls go on as before.
TEST_F(SerialCommTest, ARefusedBaudRateIsKeptAsTheLastError) {
  const PortError refused{PortErrorKind::SettingRefused, std::make_error_code(std::errc::invalid_argument)};
  comm_->SetBaudRate(19200);
  comm_->OpenComm();
  EXPECT_EQ(comm_->LastError(), PortError{});

  comm_->SetBaudRate(12345);
  EXPECT_EQ(comm_->LastError(), refused);
  EXPECT_EQ(comm_->BaudRate(), 12345u) << "stored all the same";
  EXPECT_EQ(SlaveSpeed(), speed_t{B19200});
  comm_->SetStopBits(TStopBits::_2);  // the other settings still apply, still without the speed
  EXPECT_EQ(SlaveSettings().c_cflag & CSTOPB, tcflag_t{CSTOPB});
  EXPECT_EQ(comm_->LastError(), refused);

  comm_->CloseComm();
  comm_->OpenComm();  // still 12345: refused at the open, which succeeds
  EXPECT_TRUE(comm_->IsOpen());
  EXPECT_EQ(comm_->LastError(), refused);
  comm_->CloseComm();
  comm_->SetBaudRate(9600);
  comm_->OpenComm();
  EXPECT_EQ(comm_->LastError(), PortError{}) << "cleared by the open";
  EXPECT_EQ(SlaveSpeed(), speed_t{B9600});
}

TEST(PortErrors, SystemCodesMapOntoKinds) {
  struct Case {
    int code;
    PortErrorKind kind;
  };
  const Case cases[] = {
      {ENXIO, PortErrorKind::DeviceGone},      {ENODEV, PortErrorKind::DeviceGone},
      {EIO, PortErrorKind::IoError},  // a hang-up makes it DeviceGone where it is seen
      {EINVAL, PortErrorKind::SettingRefused}, {EAGAIN, PortErrorKind::SettingRefused},
  };
  for (const Case& c : cases) {
    const PortError error = serial::SystemPortError(c.code, PortErrorKind::SettingRefused);
    EXPECT_EQ(error.kind, c.kind) << c.code;
    EXPECT_EQ(error.systemError, std::error_code(c.code, std::generic_category()));
  }
}

TEST_F(SerialCommTest, ParityWhileOpenWaitsForTheNextLineSettingChange) {
  comm_->OpenComm();
  comm_->SetParity(TParity::Mark);  // PARODD and CMSPAR: the bits a pty keeps
  EXPECT_EQ(SlaveSettings().c_cflag & (PARODD | CMSPAR), 0u);

  comm_->SetStopBits(TStopBits::_2);
  EXPECT_EQ(SlaveSettings().c_cflag & (PARODD | CMSPAR | CSTOPB), tcflag_t{PARODD | CMSPAR | CSTOPB});
}

// ---------------------------------------------------------------------------
// Notices and the owner

// The owner's loop, with a way to wait for posts without running them.
class WatchedLoop final : public EventLoop {
 public:
  void Post(std::function<void()> event) override {
    queue_.Post(std::move(event));
    {
      std::lock_guard lock(mutex_);
      ++posts_;
    }
    posted_.notify_all();
  }
  void ProcessPendingEvents() override { queue_.ProcessPendingEvents(); }
  void WaitForEvents(Clock::time_point deadline) override { queue_.WaitForEvents(deadline); }
  void HoldInput() override { queue_.HoldInput(); }
  void ReleaseInput() override { queue_.ReleaseInput(); }

  bool WaitForPosts(int count) {
    std::unique_lock lock(mutex_);
    return posted_.wait_for(lock, kPatience, [&] { return posts_ >= count; });
  }
  std::size_t Pending() const { return queue_.PendingCount(); }

 private:
  EventQueue queue_;
  std::mutex mutex_;
  std::condition_variable posted_;
  int posts_ = 0;
};

TEST_F(SerialCommTest, NoticesQueuedWhenTheComponentGoesAreDropped) {
  WatchedLoop owner;
  int raised = 0;
  auto comm = std::make_unique<TComm>(owner);
  comm->SetCommName(pty_.SlavePath());
  comm->OnSendDataEmpty = [&](TComm&) { ++raised; };
  comm->OnReceiveData = [&](TComm&, const std::uint8_t*, std::uint16_t) { ++raised; };
  comm->OpenComm();
  pty_.Write(Text("late"));
  ASSERT_TRUE(owner.WaitForPosts(2));  // send-data-empty and the chunk, not yet run
  EXPECT_EQ(owner.Pending(), 2u);

  comm.reset();
  owner.ProcessPendingEvents();
  EXPECT_EQ(raised, 0);
  EXPECT_EQ(owner.Pending(), 0u);
}

TEST_F(SerialCommTest, UnsetEventsAreSkipped) {
  WatchedLoop owner;
  TComm comm(owner);
  comm.SetCommName(pty_.SlavePath());
  comm.OpenComm();
  pty_.Write(Text("nobody listens"));
  ASSERT_TRUE(owner.WaitForPosts(2));  // send-data-empty and the chunk
  owner.ProcessPendingEvents();        // run with no handler set
  const Bytes out = Text("x");
  EXPECT_TRUE(comm.SendData(out.data(), 1));
  EXPECT_EQ(pty_.Read(1, kPatience), out);
}

}  // namespace
}  // namespace mx
