#include "sim/SimulatedBootloader.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "sim/Device.h"
#include "sim/DeviceFrames.h"
#include "sim/FlashImage.h"
#include "sim/LineEmulation.h"
#include "sim/PortLink.h"
#include "sim/PseudoTerminal.h"
#include "sim/SlaveWatch.h"

namespace mx::sim {

namespace {

// After its last reply the device vanishes as soon as the host writes again,
// or after this long: closing the pty at once could throw away a reply the
// host has not read yet.
constexpr std::chrono::milliseconds kHangUpGrace{500};

SimOptions Checked(SimOptions options) {
  if (std::string problem = CheckOptions(options); !problem.empty()) throw std::invalid_argument(problem);
  return options;
}

ReceivedFrame ToReceivedFrame(const HostPiece& piece) {
  ReceivedFrame frame;
  frame.raw = piece.raw;
  frame.at = piece.at;
  if (piece.kind == HostPiece::Kind::Frame && !piece.body.empty()) {
    frame.body.assign(piece.body.begin(), piece.body.end() - 1);
    frame.checksumOk = ChecksumOf(frame.body) == piece.body.back();
  }
  return frame;
}

// Milliseconds from `now` to `deadline`, rounded up so that a wake-up never
// comes early and turns into a busy loop.
int PollTimeout(Clock::time_point now, std::optional<Clock::time_point> deadline) {
  if (!deadline) return -1;
  if (*deadline <= now) return 0;
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*deadline - now).count();
  return wait > INT_MAX ? INT_MAX : static_cast<int>(wait);
}

std::optional<Clock::time_point> Earliest(std::optional<Clock::time_point> a, std::optional<Clock::time_point> b) {
  if (!a) return b;
  if (!b) return a;
  return std::min(*a, *b);
}

// A signal to the serving loop (to stop, or to look at a request): a pipe
// it polls.
class StopPipe {
 public:
  StopPipe() {
    if (::pipe(fds_) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
    for (int fd : fds_) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  ~StopPipe() {
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  int ReadFd() const { return fds_[0]; }
  // Takes what has been signalled; called once poll says there is some.
  void Drain() {
    char bytes[64];
    [[maybe_unused]] const ssize_t taken = ::read(fds_[0], bytes, sizeof bytes);
  }
  void Signal() {
    const char byte = 1;
    while (::write(fds_[1], &byte, 1) < 0 && errno == EINTR) {
    }
  }

 private:
  int fds_[2] = {-1, -1};
};

}  // namespace

struct SimulatedBootloader::Impl {
  explicit Impl(SimOptions checked)
      : options(std::move(checked)),
        device(options),
        receiveLine(options.baud),
        transmitLine(options.baud, options.noiseBeforeReplies, options.splitReplyGap, options.latencyTimer) {}

  void Serve();
  bool HangUpIsDue(Clock::time_point now) const { return hangUpAt && now >= *hangUpAt; }
  void DeliverArrivedBytes(Clock::time_point now);
  void HandlePiece(const HostPiece& piece);
  void SendPowerOnFrameIfDue(Clock::time_point now);
  void WriteDueUnits(Clock::time_point now);
  bool WriteUnit(TransmitUnit& unit);
  bool WaitForActivity();
  void HostOpened();
  void TakePowerOnRequest();
  void ReadFromHost(short revents);
  void HangUp();
  void Log(const char* who, const std::string& text) const;

  const SimOptions options;
  Clock::time_point startedAt;

  // Shared with the caller's threads, under `mutex`.
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  Device device;
  std::vector<ReceivedFrame> frames;
  std::vector<std::uint8_t> received;
  std::vector<DeviceAnswer> answers;
  bool hungUp = false;
  PortLink link;

  // Set up by Start(), then the serving thread's own until Stop() has joined it.
  PseudoTerminal pty;
  std::unique_ptr<SlaveWatch> watch;
  std::unique_ptr<StopPipe> stopPipe;
  std::unique_ptr<StopPipe> wakePipe;  // PowerOn() asks
  bool powerOnAsked = false;           // under `mutex`
  std::thread thread;
  bool started = false;

  // The serving thread's own.
  HostStreamDecoder decoder;
  ReceiveLine receiveLine;
  TransmitLine transmitLine;
  std::optional<Clock::time_point> powerOnAt;
  bool hostSeen = false;  // the host has opened the port once
  std::optional<Clock::time_point> hangUpAt;
  bool hostClosed = false;      // the host has closed the slave; wait for it to open it again
  bool waitingToWrite = false;  // the pty is full; wait until it takes more
};

// Note: runs on the serving thread.
void SimulatedBootloader::Impl::Serve() {
  for (;;) {
    const Clock::time_point now = Clock::now();
    DeliverArrivedBytes(now);
    SendPowerOnFrameIfDue(now);
    WriteDueUnits(now);
    if (HangUpIsDue(now)) return HangUp();
    if (!WaitForActivity()) return;  // stopped
  }
}

void SimulatedBootloader::Impl::DeliverArrivedBytes(Clock::time_point now) {
  const std::vector<TimedByte> arrived = receiveLine.TakeArrived(now);
  if (arrived.empty()) return;
  std::vector<HostPiece> pieces;
  for (const TimedByte& byte : arrived) decoder.Feed(byte.value, byte.at, pieces);
  if (receiveLine.Empty()) decoder.FlushText(pieces);
  {
    std::lock_guard lock(mutex);
    for (const TimedByte& byte : arrived) received.push_back(byte.value);
  }
  for (const HostPiece& piece : pieces) HandlePiece(piece);
}

void SimulatedBootloader::Impl::HandlePiece(const HostPiece& piece) {
  Reaction reaction;
  {
    std::lock_guard lock(mutex);
    reaction = device.Handle(piece);
    frames.push_back(ToReceivedFrame(piece));
    for (const Output& output : reaction.outputs) answers.push_back({output.what, output.bytes, frames.size()});
  }
  changed.notify_all();
  Log("host:", reaction.description + " | " + HexBytes(piece.raw));
  transmitLine.Schedule(std::move(reaction.outputs), piece.at);
  if (reaction.endFrame && options.onEndFrame) options.onEndFrame();
}

void SimulatedBootloader::Impl::SendPowerOnFrameIfDue(Clock::time_point now) {
  if (!powerOnAt || now < *powerOnAt) return;
  powerOnAt.reset();
  std::vector<Output> outputs;
  {
    std::lock_guard lock(mutex);
    outputs.push_back(device.PowerOnFrame());
    answers.push_back({outputs.back().what, outputs.back().bytes, frames.size()});
  }
  transmitLine.Schedule(std::move(outputs), now);
}

// Writes every unit whose time has come.
void SimulatedBootloader::Impl::WriteDueUnits(Clock::time_point now) {
  waitingToWrite = false;
  while (TransmitUnit* unit = transmitLine.Next()) {
    if (unit->due > now) return;
    if (unit->kind == Output::Kind::HangUp) {
      if (!hangUpAt) hangUpAt = now + kHangUpGrace;
    } else if (hostClosed) {
      Log("device:", unit->what + " not sent, the port is closed");
    } else if (!WriteUnit(*unit)) {
      waitingToWrite = !hostClosed;
      return;
    }
    transmitLine.PopNext();
  }
}

// True when the unit is done with (written, or lost with the host's line).
bool SimulatedBootloader::Impl::WriteUnit(TransmitUnit& unit) {
  while (unit.written < unit.bytes.size()) {
    const ssize_t n = ::write(pty.MasterFd(), unit.bytes.data() + unit.written, unit.bytes.size() - unit.written);
    if (n > 0) {
      unit.written += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      return false;
    } else {
      const int error = errno;
      hostClosed = error == EIO;
      Log("device:", unit.what + " not sent: " + std::strerror(error));
      return true;
    }
  }
  Log("device:", unit.what + " | " + HexBytes(unit.bytes));
  return true;
}

// Sleeps in poll() until the host writes, a deadline comes or Stop() is
// called. False on Stop().
bool SimulatedBootloader::Impl::WaitForActivity() {
  pollfd fds[4] = {{stopPipe->ReadFd(), POLLIN, 0}, {-1, 0, 0}, {-1, 0, 0}, {wakePipe->ReadFd(), POLLIN, 0}};
  if (!hostClosed) fds[1] = {pty.MasterFd(), static_cast<short>(POLLIN | (waitingToWrite ? POLLOUT : 0)), 0};
  if (watch->Fd() >= 0) fds[2] = {watch->Fd(), POLLIN, 0};

  std::optional<Clock::time_point> deadline = Earliest(Earliest(receiveLine.NextArrival(), powerOnAt), hangUpAt);
  if (!waitingToWrite) deadline = Earliest(deadline, transmitLine.NextDue());
  if (::poll(fds, 4, PollTimeout(Clock::now(), deadline)) < 0) return errno == EINTR;

  if (fds[0].revents != 0) return false;
  // The master's hang-up first, then the opens: an open seen now may be the
  // host coming back after that hang-up.
  if (fds[1].revents != 0) ReadFromHost(fds[1].revents);
  if (fds[2].revents != 0 && watch->TakeOpened()) HostOpened();
  if (fds[3].revents != 0) TakePowerOnRequest();
  return true;
}

void SimulatedBootloader::Impl::HostOpened() {
  // The power-on clock runs from the host's first open: the device is
  // switched on while the host waits for it.
  if (!hostSeen && options.powerOnAfter) powerOnAt = Clock::now() + *options.powerOnAfter;
  hostSeen = true;
  if (!hostClosed) return;
  hostClosed = false;
  Log("line:", "the host has opened the port");
}

void SimulatedBootloader::Impl::TakePowerOnRequest() {
  wakePipe->Drain();
  std::lock_guard lock(mutex);
  if (powerOnAsked) powerOnAt = Clock::now();
  powerOnAsked = false;
}

void SimulatedBootloader::Impl::ReadFromHost(short revents) {
  if (!(revents & (POLLIN | POLLHUP | POLLERR))) return;
  std::uint8_t buffer[4096];
  const ssize_t n = ::read(pty.MasterFd(), buffer, sizeof buffer);
  if (n > 0 && hangUpAt) {
    hangUpAt = Clock::now();  // the host has reacted to the last reply: vanish now
    return;
  }
  if (n > 0) {
    receiveLine.Arrived(std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(n)), Clock::now());
    return;
  }
  const bool nothingYet = n < 0 && (errno == EAGAIN || errno == EINTR);
  if (nothingYet && !(revents & (POLLHUP | POLLERR))) return;
  hostClosed = true;
  Log("line:", "the host has closed the port");
}

void SimulatedBootloader::Impl::HangUp() {
  Log("device:", "hangs up");
  {
    std::lock_guard lock(mutex);
    hungUp = true;
    link.Remove();
  }
  changed.notify_all();
  pty.Close();  // last, so that a host seeing the hang-up finds the rest done
}

void SimulatedBootloader::Impl::Log(const char* who, const std::string& text) const {
  if (!options.logFrames) return;
  const double seconds = std::chrono::duration<double>(Clock::now() - startedAt).count();
  std::fprintf(stderr, "mx7410-sim %9.3f %-7s %s\n", seconds, who, text.c_str());
}

SimulatedBootloader::SimulatedBootloader(SimOptions options)
    : impl_(std::make_unique<Impl>(Checked(std::move(options)))) {}

SimulatedBootloader::~SimulatedBootloader() { Stop(); }

void SimulatedBootloader::Start() {
  if (impl_->started) throw std::logic_error("simulator already started");
  impl_->pty.Open();
  impl_->watch = std::make_unique<SlaveWatch>(impl_->pty.SlavePath());
  impl_->stopPipe = std::make_unique<StopPipe>();
  impl_->wakePipe = std::make_unique<StopPipe>();
  impl_->startedAt = Clock::now();
  // Where opens cannot be watched, the power-on clock runs from the start.
  if (impl_->options.powerOnAfter && impl_->watch->Fd() < 0) {
    impl_->powerOnAt = impl_->startedAt + *impl_->options.powerOnAfter;
  }
  impl_->started = true;
  impl_->Log("line:", "serving " + impl_->pty.SlavePath());
  impl_->thread = std::thread([impl = impl_.get()] { impl->Serve(); });
}

void SimulatedBootloader::Stop() {
  if (!impl_->started) return;
  impl_->started = false;
  impl_->stopPipe->Signal();
  impl_->thread.join();
  impl_->pty.Close();
  impl_->watch.reset();
  impl_->stopPipe.reset();
  impl_->wakePipe.reset();
  std::lock_guard lock(impl_->mutex);
  impl_->link.Remove();
}

std::string SimulatedBootloader::PortPath() const { return impl_->pty.SlavePath(); }

void SimulatedBootloader::Publish(const std::string& directory, const std::string& name) {
  if (!impl_->started) throw std::logic_error("start the simulator before publishing it");
  std::lock_guard lock(impl_->mutex);
  if (impl_->hungUp) throw std::runtime_error("the simulated device has hung up");
  impl_->link.Create(directory, name, impl_->pty.SlavePath());
}

std::string SimulatedBootloader::PublishedPath() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->link.Path();
}

std::map<std::uint32_t, std::uint8_t> SimulatedBootloader::Memory() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->device.Memory();
}

bool SimulatedBootloader::MatchesHexFile(const std::string& path, std::string* why) const {
  const std::optional<MemoryMap> file = ReadIntelHexFile(path, why);
  return file && SameMemory(Memory(), *file, why);
}

void SimulatedBootloader::WriteHex(const std::string& path) const { WriteIntelHex(Memory(), path); }

void SimulatedBootloader::WriteBinary(const std::string& path) const { WriteBinaryImage(Memory(), path); }

std::vector<ReceivedFrame> SimulatedBootloader::Frames() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->frames;
}

std::vector<std::uint8_t> SimulatedBootloader::ReceivedBytes() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->received;
}

std::vector<DeviceAnswer> SimulatedBootloader::Answers() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->answers;
}

int SimulatedBootloader::EraseCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->device.EraseCount();
}

int SimulatedBootloader::VersionRequestCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->device.VersionRequestCount();
}

int SimulatedBootloader::EndFrameCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->device.EndFrameCount();
}

int SimulatedBootloader::RestoreCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->device.RestoreCount();
}

bool SimulatedBootloader::HungUp() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->hungUp;
}

void SimulatedBootloader::PowerOn() {
  if (!impl_->started) throw std::logic_error("start the simulator before switching it on");
  {
    std::lock_guard lock(impl_->mutex);
    impl_->powerOnAsked = true;
  }
  impl_->wakePipe->Signal();
}

bool SimulatedBootloader::WaitForFrames(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] { return impl_->frames.size() >= count; });
}

}  // namespace mx::sim
