// The serial device on POSIX: a terminal device in raw mode, taken
// exclusively; the receive loop and the transmit primitives wait in poll()
// on the device and on a stop pipe.
//
// The device-control settings map onto termios and the modem-line ioctls:
//   BaudRate                      cfsetispeed/cfsetospeed (standard rates only)
//   ByteSize, StopBits            CS5..CS8, CSTOPB (for 1.5 and 2)
//   Parity                        PARENB, PARODD, CMSPAR for mark and space
//   ParityCheck                   INPCK | PARMRK, marks undone by the receive thread
//   ReplaceWhenParityError        the receive thread puts ReplacedChar for a marked byte
//   IgnoreNullChar                the receive thread drops 0 bytes
//   Outx_XonXoffFlow, Inx_...     IXON, IXOFF; XonChar -> VSTART, XoffChar -> VSTOP
//   Outx_CtsFlow, RtsHandshake    CRTSCTS
//   DtrControl, RtsControl        TIOCMBIS / TIOCMBIC on TIOCM_DTR, TIOCM_RTS
// termios has no equivalent for DTR handshake, RTS toggling, DSR flow and
// sensitivity, TxContinueOnXoff, the XON/XOFF limits and the driver's queue
// sizes: those values are kept in the settings and have no effect here.

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <iterator>
#include <mutex>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "serial/SerialComm.h"
#include "serial/SerialPort_p.h"

#if defined(__linux__)
// serial_icounter_struct, for TIOCGICOUNT. linux/termios.h would clash with
// glibc's termios.h; linux/serial.h does not. sys/sysmacros.h: major().
#include <linux/serial.h>
#include <sys/sysmacros.h>
#endif

namespace mx {
namespace {

using serial::Bytes;

// TIOCMIWAIT would wait for carrier and ring changes, but it blocks with no
// way to stop it. Instead the receive thread reads the driver's counters
// whenever it wakes: after each read, and at this period while the line is
// quiet (only when the driver has counters; a pseudo-terminal has none).
constexpr std::chrono::milliseconds kLineCounterPeriod{200};

#if defined(CMSPAR)
constexpr tcflag_t kStickParity = CMSPAR;
#else
constexpr tcflag_t kStickParity = 0;   // no mark/space parity: they become odd/even
#endif

#if defined(CRTSCTS)
constexpr tcflag_t kHardwareFlow = CRTSCTS;
#else
constexpr tcflag_t kHardwareFlow = 0;  // no CTS/RTS handshake on this system
#endif

struct SpeedCode {
  std::uint32_t rate;
  speed_t code;
};

constexpr SpeedCode kSpeedCodes[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},       {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},     {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},   {38400, B38400},
#if defined(B57600)
    {57600, B57600},     {115200, B115200},   {230400, B230400},
#endif
#if defined(B460800)
    {460800, B460800},   {500000, B500000},   {576000, B576000},   {921600, B921600}, {1000000, B1000000},
    {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
#endif
};

#if defined(__linux__) && defined(TIOCGICOUNT)
std::optional<serial::LineCounters> ReadLineCounters(int fd) {
  serial_icounter_struct counters{};
  if (::ioctl(fd, TIOCGICOUNT, &counters) != 0) return std::nullopt;  // e.g. a pseudo-terminal
  auto count = [](int value) { return static_cast<std::uint32_t>(value); };
  return serial::LineCounters{count(counters.frame),       count(counters.parity), count(counters.overrun),
                              count(counters.buf_overrun), count(counters.brk),    count(counters.dcd),
                              count(counters.rng)};
}
#else
std::optional<serial::LineCounters> ReadLineCounters(int) { return std::nullopt; }  // no counters here
#endif

#if defined(__linux__) && defined(TIOCSSERIAL)
// USB serial adapters (ttyUSB: usb-serial, character major 188) hand received
// bytes to the host at each tick of a latency timer, 16 ms on common ones;
// every reply then waits for the next tick. ASYNC_LOW_LATENCY asks the
// driver for its shortest (1 ms on FTDI). A normal user may set it.
constexpr unsigned kUsbSerialMajor = 188;

// The driver's flags before low latency was asked for; nothing when the port
// is no USB adapter or its driver does not take the request.
std::optional<int> AskForLowLatency(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0 || major(info.st_rdev) != kUsbSerialMajor) return std::nullopt;
  serial_struct serial{};
  if (::ioctl(fd, TIOCGSERIAL, &serial) != 0) return std::nullopt;
  const int original = serial.flags;
  if (original & ASYNC_LOW_LATENCY) return std::nullopt;  // already so: nothing to put back
  serial.flags |= ASYNC_LOW_LATENCY;
  if (::ioctl(fd, TIOCSSERIAL, &serial) != 0) return std::nullopt;
  return original;
}

void RestoreLatency(int fd, int originalFlags) {
  serial_struct serial{};
  if (::ioctl(fd, TIOCGSERIAL, &serial) != 0) return;  // the adapter is gone
  serial.flags = originalFlags;
  ::ioctl(fd, TIOCSSERIAL, &serial);
}
#else
std::optional<int> AskForLowLatency(int) { return std::nullopt; }                   // no such request here
void RestoreLatency(int, int) {}
#endif

// ---------------------------------------------------------------------------
// Descriptors

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }

  int Get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

bool IsCharacterDevice(int fd) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 && S_ISCHR(info.st_mode);
}

// The open terminal device, taken exclusively. Its settings are saved at open
// and put back at close.
class Tty {
 public:
  // Raises ECommsError; a failed open leaves nothing open.
  explicit Tty(const std::string& name);
  ~Tty();
  Tty(const Tty&) = delete;
  Tty& operator=(const Tty&) = delete;

  int Fd() const { return fd_.Get(); }

 private:
  UniqueFd fd_;
  termios original_{};
  std::optional<int> originalSerialFlags_;  // set when low latency was asked for
};

// The ports open in this process with the settings they had before, for
// RestorePortSettingsNow.
class OpenTtys {
 public:
  static OpenTtys& Instance() {
    static OpenTtys ttys;
    return ttys;
  }
  void Add(int fd, const termios& original, std::optional<int> originalSerialFlags) {
    std::lock_guard lock(mutex_);
    ttys_.push_back({fd, original, originalSerialFlags});
  }
  void Remove(int fd) {
    std::lock_guard lock(mutex_);
    std::erase_if(ttys_, [fd](const Entry& entry) { return entry.fd == fd; });
  }
  void RestoreAll() {
    std::lock_guard lock(mutex_);
    for (const Entry& entry : ttys_) {
      ::tcsetattr(entry.fd, TCSANOW, &entry.original);
      if (entry.originalSerialFlags) RestoreLatency(entry.fd, *entry.originalSerialFlags);
      ::ioctl(entry.fd, TIOCNXCL);
    }
  }

 private:
  struct Entry {
    int fd;
    termios original;
    std::optional<int> originalSerialFlags;
  };
  std::mutex mutex_;
  std::vector<Entry> ttys_;
};

std::error_code Errno() { return {errno, std::generic_category()}; }

Tty::Tty(const std::string& name) : fd_(::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
  if (!fd_) throw ECommsError("Error opening serial port", Errno());
  if (!IsCharacterDevice(fd_.Get())) throw ECommsError("File handle is not a comm handle ");
  // The lock refuses a second opener in this process or another. TIOCEXCL
  // makes the kernel refuse further opens as well, except for root.
  if (::flock(fd_.Get(), LOCK_EX | LOCK_NB) != 0) {
    const bool held = errno == EWOULDBLOCK;
    throw ECommsError("Error opening serial port",
                      held ? std::make_error_code(std::errc::device_or_resource_busy) : Errno());
  }
  // A character device without terminal settings (/dev/null, say) has no
  // driver queues to set up: it is no serial port.
  if (::tcgetattr(fd_.Get(), &original_) != 0) throw ECommsError("Cannot setup comm buffer", Errno());
  ::ioctl(fd_.Get(), TIOCEXCL);
  originalSerialFlags_ = AskForLowLatency(fd_.Get());
  OpenTtys::Instance().Add(fd_.Get(), original_, originalSerialFlags_);
}

Tty::~Tty() {
  OpenTtys::Instance().Remove(fd_.Get());
  if (originalSerialFlags_) RestoreLatency(fd_.Get(), *originalSerialFlags_);
  ::tcsetattr(fd_.Get(), TCSANOW, &original_);  // fails harmlessly after a hang-up
  ::ioctl(fd_.Get(), TIOCNXCL);
}  // closing the descriptor releases the lock

// The stop request of both threads: a pipe that poll() watches. Once
// signalled it stays signalled, since its byte is never read.
class StopSignal {
 public:
  // Raises ECommsError when the pipe cannot be made.
  StopSignal();

  void Signal();
  int Fd() const { return read_.Get(); }

 private:
  UniqueFd read_;
  UniqueFd write_;
  std::atomic<bool> signalled_{false};
};

StopSignal::StopSignal() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) throw ECommsError("Unable to create event");
  read_ = UniqueFd(ends[0]);
  write_ = UniqueFd(ends[1]);
}

void StopSignal::Signal() {
  if (signalled_.exchange(true)) return;
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = ::write(write_.Get(), &byte, 1);  // an empty pipe has room
}

// ---------------------------------------------------------------------------
// Waiting

enum class Wake { Ready, Stop, Timeout, Closed, Failed };

int PollTimeout(std::optional<Clock::time_point> deadline) {
  if (!deadline) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
  return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, INT_MAX));
}

// Sleeps until `fd` is ready for `events`, the stop signal is set or the
// deadline passes. The stop signal wins when both are ready. Ready includes a
// hang-up or an error, which the next read or write then reports.
Wake WaitFor(int fd, short events, const StopSignal& stop, std::optional<Clock::time_point> deadline) {
  pollfd watched[2] = {{stop.Fd(), POLLIN, 0}, {fd, events, 0}};
  const int ready = ::poll(watched, 2, PollTimeout(deadline));
  if (ready < 0) return errno == EINTR ? Wake::Timeout : Wake::Failed;
  if (watched[0].revents != 0) return Wake::Stop;
  if (ready == 0) return Wake::Timeout;
  if (watched[1].revents & POLLNVAL) return Wake::Closed;
  return Wake::Ready;
}

std::optional<Clock::time_point> Earliest(std::optional<Clock::time_point> a, std::optional<Clock::time_point> b) {
  if (!a) return b;
  if (!b) return a;
  return std::min(*a, *b);
}

// ---------------------------------------------------------------------------
// Errors

// A hang-up shows in poll() as POLLHUP. An EIO with it means the device or
// the other end is gone (an unplugged adapter, a closed pseudo-terminal
// master), not a failing driver.
bool HungUp(int fd) {
  pollfd watched{fd, 0, 0};
  return ::poll(&watched, 1, 0) > 0 && (watched.revents & POLLHUP) != 0;
}

PortError ErrnoError(int fd, int error, PortErrorKind otherwise) {
  PortError failure = serial::SystemPortError(error, otherwise);
  if (error == EIO && HungUp(fd)) failure.kind = PortErrorKind::DeviceGone;
  return failure;
}

// An end of input: the other end hung up; the system gave no code.
const PortError kEndOfInput{PortErrorKind::DeviceGone, {}};

// ---------------------------------------------------------------------------
// What the threads share

// ---------------------------------------------------------------------------
// What the threads share

// The receive thread's view of the settings, changed by the owner thread
// while the port is open.
class ReceiveSettings {
 public:
  serial::ReadTimeouts Timeouts() const {
    std::lock_guard lock(mutex_);
    return timeouts_;
  }
  serial::ReceivedByteFilter::Options Filter() const {
    std::lock_guard lock(mutex_);
    return filter_;
  }
  void SetTimeouts(const serial::ReadTimeouts& timeouts) {
    std::lock_guard lock(mutex_);
    timeouts_ = timeouts;
  }
  void SetFilter(const serial::ReceivedByteFilter::Options& filter) {
    std::lock_guard lock(mutex_);
    filter_ = filter;
  }

 private:
  mutable std::mutex mutex_;
  serial::ReadTimeouts timeouts_;
  serial::ReceivedByteFilter::Options filter_;
};
// ---------------------------------------------------------------------------
// Settings -> termios

// Raw bytes both ways: no line editing, echo, signals, translation or output
// processing.
void MakeRaw(termios& t) {
  t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK | IGNPAR);
  t.c_oflag &= ~OPOST;
  t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag |= CREAD | CLOCAL;  // never wait for carrier; its changes are events
  t.c_cc[VMIN] = 1;             // with O_NONBLOCK an empty read is EAGAIN, never 0
  t.c_cc[VTIME] = 0;
}

// False for a rate without a speed code: the current speed stays.
bool SetSpeed(termios& t, std::uint32_t rate) {
  const auto* entry = std::find_if(std::begin(kSpeedCodes), std::end(kSpeedCodes),
                                   [rate](const SpeedCode& e) { return e.rate == rate; });
  if (entry == std::end(kSpeedCodes)) return false;
  return ::cfsetispeed(&t, entry->code) == 0 && ::cfsetospeed(&t, entry->code) == 0;
}

tcflag_t ParityFlags(TParity parity) {
  switch (parity) {
    case TParity::None:
      return 0;
    case TParity::Odd:
      return PARENB | PARODD;
    case TParity::Even:
      return PARENB;
    case TParity::Mark:
      return PARENB | kStickParity | PARODD;
    case TParity::Space:
      return PARENB | kStickParity;
  }
  return 0;
}

void SetCharacterFormat(termios& t, const TComm::Settings& s) {
  constexpr tcflag_t kDataBits[] = {CS5, CS6, CS7, CS8};
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | kStickParity | CSTOPB);
  t.c_cflag |= kDataBits[static_cast<std::size_t>(s.ByteSize)] | ParityFlags(s.Parity);
  // There is no 1.5: CSTOPB gives 1.5 stop bits with 5 data bits on common UARTs, else 2.
  if (s.StopBits != TStopBits::_1) t.c_cflag |= CSTOPB;
}

void SetFlowControl(termios& t, const TComm::Settings& s) {
  if (s.Outx_XonXoffFlow) t.c_iflag |= IXON;  // XOFF and XON received hold and release our output
  if (s.Inx_XonXoffFlow) t.c_iflag |= IXOFF;  // the driver sends them as its input fills and drains
  t.c_cc[VSTART] = static_cast<cc_t>(s.XonChar);
  t.c_cc[VSTOP] = static_cast<cc_t>(s.XoffChar);
  // CRTSCTS is both directions at once: output waits for CTS, the driver drives RTS.
  t.c_cflag &= ~kHardwareFlow;
  if (s.Outx_CtsFlow || s.RtsControl == TRtsControl::RtsHandshake) t.c_cflag |= kHardwareFlow;
}

// A byte received with a parity or framing error comes marked; the receive
// thread's filter turns the mark back into the byte or ReplacedChar.
void SetParityChecking(termios& t, const TComm::Settings& s) {
  if (s.ParityCheck) t.c_iflag |= INPCK | PARMRK;
}

serial::ReceivedByteFilter::Options FilterOptions(const TComm::Settings& s) {
  return {s.ParityCheck, s.ParityCheck && s.ReplaceWhenParityError, static_cast<std::uint8_t>(s.ReplacedChar),
          s.IgnoreNullChar};
}

void SetModemLine(int fd, int line, bool raised) {
  ::ioctl(fd, raised ? TIOCMBIS : TIOCMBIC, &line);  // refused by a pseudo-terminal
}

void SetModemLines(int fd, const TComm::Settings& s) {
  // DTR handshake has no termios equivalent: DTR is raised.
  SetModemLine(fd, TIOCM_DTR, s.DtrControl != TDtrControl::DtrDisable);
  // Under RTS handshake the driver drives RTS. RTS only while sending has no
  // termios equivalent: RTS is raised.
  if (s.RtsControl != TRtsControl::RtsHandshake) SetModemLine(fd, TIOCM_RTS, s.RtsControl != TRtsControl::RtsDisable);
}

// The open terminal device with the stop signal of its threads.
class PosixDevice final : public serial::PortDevice {
 public:
  // Raises ECommsError; a failed open leaves nothing open.
  explicit PosixDevice(const std::string& name) : tty_(name) {}

  int Fd() const { return tty_.Fd(); }
  const StopSignal& Stop() const { return stop_; }
  const ReceiveSettings& Receive() const { return receive_; }

  void PurgeAll() override { ::tcflush(Fd(), TCIOFLUSH); }
  PortError ApplyCommState(const TComm::Settings& settings) override;
  PortError ApplyCommTimeouts(const TComm::Settings& settings) override;
  void SignalStop() override { stop_.Signal(); }
  void PurgeInput() override { ::tcflush(Fd(), TCIFLUSH); }
  void PurgeOutput() override { ::tcflush(Fd(), TCOFLUSH); }  // also ends a drain
  void RunReceiver(serial::PortLink& link) override;
  serial::IoResult Write(const Bytes& job) override;
  serial::IoResult Drain() override;

 private:
  Tty tty_;
  StopSignal stop_;
  ReceiveSettings receive_;
};

// ---------------------------------------------------------------------------
// Receive thread

// Waits for bytes, gathers them into chunks of at most kReadBufferSize bytes
// that end when the read timeouts say so, and posts each chunk, the line
// errors and the modem-line changes to the owner in the order they happened.
// Note: this class runs in the receive thread.
class TReadThread {
 public:
  TReadThread(PosixDevice& device, serial::PortLink& link) : device_(device), link_(link) {}
  void Execute();

 private:
  enum class More { Bytes, ChunkEnds, Stop };
  enum class Gathered { Chunk, HungUp, Stop };
  enum class Read { Bytes, Nothing, HungUp };

  More WaitForMore(std::optional<Clock::time_point> chunkEnd);
  Gathered GatherChunk();
  Read ReadAvailable();
  bool CheckLineCounters();
  bool Deliver();
  bool Fail(const PortError& error);
  std::optional<Clock::time_point> NextCounterCheck() const;

  PosixDevice& device_;
  serial::PortLink& link_;
  serial::ReceivedByteFilter filter_;
  std::optional<serial::LineCounters> counters_;  // nothing when the driver has none
  std::array<std::uint8_t, TComm::kReadBufferSize> raw_{};
  std::array<std::uint8_t, TComm::kReadBufferSize> chunk_{};
  std::size_t filled_ = 0;
  PortError hangUp_;  // why ReadAvailable saw the end
};

void TReadThread::Execute() {
  counters_ = ReadLineCounters(device_.Fd());
  while (WaitForMore(std::nullopt) == More::Bytes) {
    const Gathered gathered = GatherChunk();
    if (gathered == Gathered::Stop || !Deliver()) break;
    if (gathered == Gathered::HungUp) {
      Fail(hangUp_);
      break;
    }
  }
  ::tcflush(device_.Fd(), TCIFLUSH);
}

// Sleeps until bytes can be read, the chunk's end passes or the thread must
// stop; reads the line counters whenever it wakes without bytes.
TReadThread::More TReadThread::WaitForMore(std::optional<Clock::time_point> chunkEnd) {
  for (;;) {
    switch (WaitFor(device_.Fd(), POLLIN, device_.Stop(), Earliest(chunkEnd, NextCounterCheck()))) {
      case Wake::Ready:
        return More::Bytes;
      case Wake::Stop:
      case Wake::Closed:
        return More::Stop;
      case Wake::Failed:
        Fail(serial::SystemPortError(errno, PortErrorKind::IoError));
        return More::Stop;
      case Wake::Timeout:
        if (chunkEnd && Clock::now() >= *chunkEnd) return More::ChunkEnds;
        if (!CheckLineCounters()) return More::Stop;
        break;
    }
  }
}

// Reads into the chunk until it is full or its timeouts end it. A chunk cut
// short by a hang-up keeps the bytes read so far.
TReadThread::Gathered TReadThread::GatherChunk() {
  const serial::ReadTimeouts timeouts = device_.Receive().Timeouts();
  filter_.SetOptions(device_.Receive().Filter());
  filled_ = 0;
  std::optional<Clock::time_point> first;
  Clock::time_point last;
  for (;;) {
    const Read read = ReadAvailable();
    if (read == Read::HungUp) return Gathered::HungUp;
    if (read == Read::Bytes) {
      last = Clock::now();
      if (!first) first = last;
    }
    if (!CheckLineCounters()) return Gathered::Stop;
    if (filled_ == chunk_.size()) return Gathered::Chunk;
    const std::optional<Clock::time_point> end = first ? serial::ChunkEnd(timeouts, *first, last) : std::nullopt;
    const More more = WaitForMore(end);
    if (more == More::ChunkEnds) return Gathered::Chunk;
    if (more == More::Stop) return Gathered::Stop;
  }
}

// Reads what the driver holds, as much as the chunk has room for.
TReadThread::Read TReadThread::ReadAvailable() {
  ssize_t count;
  do {
    count = ::read(device_.Fd(), raw_.data(), chunk_.size() - filled_);
  } while (count < 0 && errno == EINTR);
  if (count > 0) {
    filled_ += filter_.Filter(raw_.data(), static_cast<std::size_t>(count), chunk_.data() + filled_);
    return Read::Bytes;
  }
  if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Read::Nothing;
  hangUp_ = count == 0 ? kEndOfInput : ErrnoError(device_.Fd(), errno, PortErrorKind::IoError);
  return Read::HungUp;
}

// Posts the line errors and modem-line changes since the last look.
bool TReadThread::CheckLineCounters() {
  if (!counters_) return true;
  const std::optional<serial::LineCounters> now = ReadLineCounters(device_.Fd());
  if (!now) return true;
  const std::uint32_t errors = serial::LineErrorBits(*counters_, *now);
  const std::uint32_t modem = serial::ModemEventBits(*counters_, *now);
  counters_ = now;
  if (errors != 0 && !link_.Notices().PostReceiveError(errors)) return Fail(serial::kNoticeLost);
  if (modem != 0 && !link_.Notices().PostModemStateChange(modem)) return Fail(serial::kNoticeLost);
  return true;
}

bool TReadThread::Deliver() {
  if (filled_ == 0) return true;  // the filter took every byte
  return link_.Notices().PostReceiveData(chunk_.data(), filled_) || Fail(serial::kNoticeLost);
}

bool TReadThread::Fail(const PortError& error) {
  link_.Fail(error);
  return false;
}

std::optional<Clock::time_point> TReadThread::NextCounterCheck() const {
  if (!counters_) return std::nullopt;
  return Clock::now() + kLineCounterPeriod;
}

void PosixDevice::RunReceiver(serial::PortLink& link) { TReadThread(*this, link).Execute(); }

// ---------------------------------------------------------------------------
// Transmit primitives

// Note: runs in the transmit thread.
serial::IoResult PosixDevice::Write(const Bytes& job) {
  std::size_t offset = 0;
  while (offset < job.size()) {
    const ssize_t written = ::write(Fd(), job.data() + offset, job.size() - offset);
    if (written > 0) {
      offset += static_cast<std::size_t>(written);
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
      return serial::IoResult::Failed(ErrnoError(Fd(), errno, PortErrorKind::IoError));
    // No room in the driver, e.g. while XOFF holds the line.
    switch (WaitFor(Fd(), POLLOUT, stop_, std::nullopt)) {
      case Wake::Ready:
      case Wake::Timeout:
        break;
      case Wake::Stop:
      case Wake::Closed:
        return serial::IoResult::Stopped();
      case Wake::Failed:
        return serial::IoResult::Failed(serial::SystemPortError(errno, PortErrorKind::IoError));
    }
  }
  return serial::IoResult::Done();
}

// Note: runs in the transmit thread. The output purge of a close ends the
// drain early.
serial::IoResult PosixDevice::Drain() {
  while (::tcdrain(Fd()) != 0) {
    if (errno != EINTR) return serial::IoResult::Failed(ErrnoError(Fd(), errno, PortErrorKind::IoError));
  }
  return serial::IoResult::Done();
}

// ---------------------------------------------------------------------------
// Settings and the device

PortError PosixDevice::ApplyCommState(const TComm::Settings& settings) {
  receive_.SetFilter(FilterOptions(settings));
  termios t{};
  if (::tcgetattr(Fd(), &t) != 0) return ErrnoError(Fd(), errno, PortErrorKind::SettingRefused);
  const bool speedKnown = serial::SetTermios(t, settings);
  const int applied = ::tcsetattr(Fd(), TCSANOW, &t);
  const int error = errno;
  SetModemLines(Fd(), settings);
  if (applied != 0) return ErrnoError(Fd(), error, PortErrorKind::SettingRefused);
  // termios has no code for this rate: the rest applies, the speed stays.
  if (!speedKnown) return {PortErrorKind::SettingRefused, std::make_error_code(std::errc::invalid_argument)};
  return {};
}

// The read timeouts shape the receive thread's chunks. The write timeouts have
// no effect: every job is written completely however long the line is held.
PortError PosixDevice::ApplyCommTimeouts(const TComm::Settings& settings) {
  receive_.SetTimeouts(
      {settings.ReadIntervalTimeout, settings.ReadTotalTimeoutMultiplier, settings.ReadTotalTimeoutConstant});
  return {};
}

}  // namespace

bool serial::SetTermios(termios& t, const TComm::Settings& settings) {
  MakeRaw(t);
  const bool speedKnown = SetSpeed(t, settings.BaudRate);
  SetCharacterFormat(t, settings);
  SetFlowControl(t, settings);
  SetParityChecking(t, settings);
  return speedKnown;
}

void RestorePortSettingsNow() { OpenTtys::Instance().RestoreAll(); }

std::unique_ptr<serial::PortDevice> serial::OpenPortDevice(const std::string& name) {
  return std::make_unique<PosixDevice>(name);
}

// A vanished device shows as ENXIO or ENODEV; a plain EIO is the driver's
// failure unless the caller saw a hang-up with it.
PortError serial::SystemPortError(int code, PortErrorKind otherwise) {
  const std::error_code system(code, std::generic_category());
  switch (code) {
    case ENXIO:
    case ENODEV:
      return {PortErrorKind::DeviceGone, system};
    case EIO:
      return {PortErrorKind::IoError, system};
    default:
      return {otherwise, system};
  }
}

}  // namespace mx
