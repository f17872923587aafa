// TComm's platform-independent side: properties and setters, open/close/send
// bookkeeping, the open and close sequence and the transmit loop over each
// platform's device, the notices that carry the worker threads' results to
// the owner thread, and the pure helpers of the platform files.

#include "serial/SerialComm.h"

#include <algorithm>
#include <new>

#include "serial/SerialPort_p.h"

namespace mx {

std::string_view PortErrorKindName(PortErrorKind kind) {
  switch (kind) {
    case PortErrorKind::None:
      return "none";
    case PortErrorKind::DeviceGone:
      return "device-gone";
    case PortErrorKind::IoError:
      return "io-error";
    case PortErrorKind::SettingRefused:
      return "setting-refused";
    case PortErrorKind::Internal:
      return "internal";
  }
  return "internal";
}

// ---------------------------------------------------------------------------
// TComm

TComm::TComm(EventLoop& owner) : owner_(owner), self_(std::make_shared<TComm*>(this)) {}

TComm::~TComm() {
  CloseComm();
  *self_ = nullptr;  // notices still queued find the component gone
}

void TComm::OpenComm() {
  lastOpenFailure_.reset();
  try {
    if (port_) throw ECommsError("This serial port already opened");
    port_ = std::make_unique<Port>(settings_, serial::CommNotices(owner_, self_, openCount_ + 1));
  } catch (const ECommsError& error) {
    lastOpenFailure_ = error;
    throw;
  }
  ++openCount_;
  jobsQueued_ = 0;
  jobsSent_ = 0;
  lastError_ = {};
  if (port_->OpenError()) SetError(port_->OpenError());
}

void TComm::CloseComm() { port_.reset(); }

bool TComm::IsOpen() const { return port_ != nullptr; }

bool TComm::AllSent() const { return port_ != nullptr && jobsSent_ == jobsQueued_; }

bool TComm::SendData(const std::uint8_t* buffer, std::uint16_t length) {
  if (!port_ || length == 0 || buffer == nullptr) return false;
  try {
    if (!port_->Send(serial::Bytes(buffer, buffer + length))) return false;
    ++jobsQueued_;
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

template <typename T>
void TComm::SetLineSetting(T Settings::*field, T value) {
  if (settings_.*field == value) return;
  settings_.*field = value;
  if (!port_) return;
  if (const PortError refused = port_->ApplyCommState(settings_)) SetError(refused);
}

template <typename T>
void TComm::SetTimeoutSetting(T Settings::*field, T value) {
  if (settings_.*field == value) return;
  settings_.*field = value;
  if (!port_) return;
  if (const PortError refused = port_->ApplyCommTimeouts(settings_)) SetError(refused);
}

void TComm::SetBaudRate(std::uint32_t value) { SetLineSetting(&Settings::BaudRate, value); }
void TComm::SetParityCheck(bool value) { SetLineSetting(&Settings::ParityCheck, value); }
void TComm::SetOutx_CtsFlow(bool value) { SetLineSetting(&Settings::Outx_CtsFlow, value); }
void TComm::SetOutx_DsrFlow(bool value) { SetLineSetting(&Settings::Outx_DsrFlow, value); }
void TComm::SetDtrControl(TDtrControl value) { SetLineSetting(&Settings::DtrControl, value); }
void TComm::SetDsrSensitivity(bool value) { SetLineSetting(&Settings::DsrSensitivity, value); }
void TComm::SetTxContinueOnXoff(bool value) { SetLineSetting(&Settings::TxContinueOnXoff, value); }
void TComm::SetOutx_XonXoffFlow(bool value) { SetLineSetting(&Settings::Outx_XonXoffFlow, value); }
void TComm::SetInx_XonXoffFlow(bool value) { SetLineSetting(&Settings::Inx_XonXoffFlow, value); }
void TComm::SetReplaceWhenParityError(bool value) { SetLineSetting(&Settings::ReplaceWhenParityError, value); }
void TComm::SetIgnoreNullChar(bool value) { SetLineSetting(&Settings::IgnoreNullChar, value); }
void TComm::SetRtsControl(TRtsControl value) { SetLineSetting(&Settings::RtsControl, value); }
void TComm::SetXonLimit(std::uint16_t value) { SetLineSetting(&Settings::XonLimit, value); }
void TComm::SetXoffLimit(std::uint16_t value) { SetLineSetting(&Settings::XoffLimit, value); }
void TComm::SetByteSize(TByteSize value) { SetLineSetting(&Settings::ByteSize, value); }
void TComm::SetStopBits(TStopBits value) { SetLineSetting(&Settings::StopBits, value); }
void TComm::SetXonChar(char value) { SetLineSetting(&Settings::XonChar, value); }
void TComm::SetXoffChar(char value) { SetLineSetting(&Settings::XoffChar, value); }
void TComm::SetReplacedChar(char value) { SetLineSetting(&Settings::ReplacedChar, value); }

void TComm::SetReadIntervalTimeout(std::uint32_t value) { SetTimeoutSetting(&Settings::ReadIntervalTimeout, value); }
void TComm::SetReadTotalTimeoutMultiplier(std::uint32_t value) {
  SetTimeoutSetting(&Settings::ReadTotalTimeoutMultiplier, value);
}
void TComm::SetReadTotalTimeoutConstant(std::uint32_t value) {
  SetTimeoutSetting(&Settings::ReadTotalTimeoutConstant, value);
}
void TComm::SetWriteTotalTimeoutMultiplier(std::uint32_t value) {
  SetTimeoutSetting(&Settings::WriteTotalTimeoutMultiplier, value);
}
void TComm::SetWriteTotalTimeoutConstant(std::uint32_t value) {
  SetTimeoutSetting(&Settings::WriteTotalTimeoutConstant, value);
}

namespace serial {

// ---------------------------------------------------------------------------
// CommNotices

void CommNotices::Silence() {
  std::lock_guard lock(gate_->mutex);
  gate_->silenced = true;
}

bool CommNotices::Post(std::function<void(TComm&)> raise) const {
  try {
    std::lock_guard lock(gate_->mutex);  // the owner's Post never blocks
    if (gate_->silenced) return false;
    owner_.Post([component = component_, raise = std::move(raise)] {
      const std::shared_ptr<TComm*> alive = component.lock();
      if (alive && *alive) raise(**alive);
    });
    return true;
  } catch (...) {
    return false;
  }
}

// Each event is copied before the call, so a handler may reassign it.
bool CommNotices::PostReceiveData(const std::uint8_t* bytes, std::size_t count) const {
  try {
    Bytes block(count + 1, 0);  // the extra byte stays 0
    std::copy_n(bytes, count, block.begin());
    return Post([block = std::move(block)](TComm& comm) {
      if (TReceiveDataEvent handler = comm.OnReceiveData)
        handler(comm, block.data(), static_cast<std::uint16_t>(block.size() - 1));
    });
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool CommNotices::PostReceiveError(std::uint32_t errorBits) const {
  return Post([errorBits](TComm& comm) {
    if (TReceiveErrorEvent handler = comm.OnReceiveError) handler(comm, errorBits);
  });
}

// A hang-up of an earlier open says nothing about the port open now.
bool CommNotices::PostRequestHangup(const PortError& error) const {
  return Post([openCount = openCount_, error](TComm& comm) {
    if (openCount != comm.openCount_) return;
    comm.SetError(error);
    if (TNotifyEvent handler = comm.OnRequestHangup) handler(comm);
  });
}

bool CommNotices::PostModemStateChange(std::uint32_t modemBits) const {
  return Post([modemBits](TComm& comm) {
    if (TModemStateChangeEvent handler = comm.OnModemStateChange) handler(comm, modemBits);
  });
}

// A notice posted just before the owner queued another job is stale: the
// queue is not empty any more, and the owner must not hear that it is.
bool CommNotices::PostSendDataEmpty(std::uint64_t jobsWritten) const {
  return Post([jobsWritten, openCount = openCount_](TComm& comm) {
    if (openCount == comm.openCount_) comm.jobsSent_ = jobsWritten;
    if (jobsWritten != comm.jobsQueued_) return;
    if (TSendDataEmptyEvent handler = comm.OnSendDataEmpty) handler(comm);
  });
}

// ---------------------------------------------------------------------------
// SendQueue

bool SendQueue::Push(Bytes job) {
  {
    std::lock_guard lock(mutex_);
    if (closed_) return false;
    jobs_.push_back(std::move(job));
  }
  changed_.notify_all();
  return true;
}

std::optional<Bytes> SendQueue::TryTake() {
  std::lock_guard lock(mutex_);
  if (jobs_.empty()) return std::nullopt;
  Bytes job = std::move(jobs_.front());
  jobs_.pop_front();
  return job;
}

bool SendQueue::WaitForJob() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return closed_ || !jobs_.empty(); });
  return !closed_;
}

void SendQueue::Close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    jobs_.clear();
  }
  changed_.notify_all();
}

// ---------------------------------------------------------------------------
// TransmitGate

bool TransmitGate::BeginJob() {
  std::lock_guard lock(mutex_);
  if (stopped_) return false;
  drained_ = false;
  return true;
}

void TransmitGate::MarkDrained() {
  std::lock_guard lock(mutex_);
  drained_ = true;
}

bool TransmitGate::Stop() {
  std::lock_guard lock(mutex_);
  stopped_ = true;
  return !drained_;
}

// ---------------------------------------------------------------------------
// WorkerThread

WorkerThread::WorkerThread(std::function<void()> body)
    : state_(std::make_shared<State>()), thread_([state = state_, body = std::move(body)] { Run(*state, body); }) {}

WorkerThread::~WorkerThread() {
  Discard();
  Join();
}

void WorkerThread::Run(State& state, const std::function<void()>& body) {
  bool start = false;
  {
    std::unique_lock lock(state.mutex);
    state.changed.wait(lock, [&state] { return state.gate != Gate::Held; });
    start = state.gate == Gate::Open;
  }
  if (start) body();
  {
    std::lock_guard lock(state.mutex);
    state.ended = true;
  }
  state.changed.notify_all();
}

void WorkerThread::Start() {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->gate == Gate::Held) state_->gate = Gate::Open;
  }
  state_->changed.notify_all();
}

void WorkerThread::Discard() {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->gate == Gate::Held) state_->gate = Gate::Discarded;
  }
  state_->changed.notify_all();
}

bool WorkerThread::WaitForEnd(std::chrono::milliseconds limit) {
  std::unique_lock lock(state_->mutex);
  return state_->changed.wait_until(lock, Clock::now() + limit, [this] { return state_->ended; });
}

void WorkerThread::Join() {
  if (thread_.joinable()) thread_.join();
}

void WorkerThread::LetGo() {
  if (thread_.joinable()) thread_.detach();
}

bool FinishThread(WorkerThread& thread, std::chrono::milliseconds limit) {
  if (!thread.WaitForEnd(limit)) {
    thread.LetGo();
    return false;
  }
  thread.Join();  // the body has returned: this is at once
  return true;
}

PortThreads StartPortThreads(std::function<void()> readBody, std::function<void()> writeBody) {
  PortThreads threads;
  try {
    threads.read = std::make_unique<WorkerThread>(std::move(readBody));
  } catch (const std::exception&) {
    throw ECommsError("Unable to create read thread");
  }
  try {
    threads.write = std::make_unique<WorkerThread>(std::move(writeBody));
  } catch (const std::exception&) {
    throw ECommsError("Unable to create write thread");  // the held read thread is discarded with `threads`
  }
  threads.read->Start();
  threads.write->Start();
  return threads;
}

// ---------------------------------------------------------------------------
// PortLink and the transmit loop

void PortLink::Fail(const PortError& error) {
  jobs_.Close();
  device_->SignalStop();
  if (stopping_.load() || failed_.exchange(true)) return;
  notices_.PostRequestHangup(error);
}

void PortLink::Stop() {
  stopping_.store(true);
  device_->SignalStop();
}

namespace {

// Drains, then tells the owner that every job so far has left. False when
// the thread must end.
bool ReportEmpty(PortLink& link, std::uint64_t jobsWritten) {
  const IoResult drained = link.Device().Drain();
  if (drained.status == IoResult::Status::Failed) {
    link.Fail(drained.error);
    return false;
  }
  if (drained.status == IoResult::Status::Stopped) return false;
  // The gate learns of the drain before the owner does, so a close that the
  // notice prompts discards nothing.
  link.Transmit().MarkDrained();
  if (link.Stopping()) return false;
  if (!link.Notices().PostSendDataEmpty(jobsWritten)) {
    link.Fail(kNoticeLost);
    return false;
  }
  return true;
}

}  // namespace

void RunTransmitter(PortLink& link) {
  link.Device().EnterTransmitThread();
  bool notifyEmpty = true;
  std::uint64_t jobsWritten = 0;
  for (;;) {
    if (std::optional<Bytes> job = link.Jobs().TryTake()) {
      if (link.Stopping() || !link.Transmit().BeginJob()) break;
      const IoResult written = link.Device().Write(*job);
      if (written.status != IoResult::Status::Done) {
        // Cut short: what this job left in the driver is discarded.
        link.Device().PurgeOutput();
        if (written.status == IoResult::Status::Failed) link.Fail(written.error);
        break;
      }
      ++jobsWritten;
      notifyEmpty = true;
      continue;
    }
    // "Empty" means on the line: a close after the notice loses nothing.
    if (notifyEmpty && !ReportEmpty(link, jobsWritten)) break;
    notifyEmpty = false;
    if (!link.Jobs().WaitForJob()) break;
  }
  link.Jobs().Close();  // jobs not taken are discarded; SendData refuses from now on
}

}  // namespace serial

// ---------------------------------------------------------------------------
// TComm::Port: the open and close sequence

TComm::Port::Port(const Settings& settings, serial::CommNotices notices)
    : link_(std::make_shared<serial::PortLink>(serial::OpenPortDevice(settings.CommName), std::move(notices))) {
  link_->Device().PurgeAll();
  // A setting that the driver refuses does not make the open fail.
  const PortError timeouts = ApplyCommTimeouts(settings);
  const PortError state = ApplyCommState(settings);
  openError_ = state ? state : timeouts;
  // Each thread holds the link, so that one let go at the close keeps it.
  threads_ = serial::StartPortThreads([link = link_] { link->Device().RunReceiver(*link); },
                                      [link = link_] { serial::RunTransmitter(*link); });
}

// The stop signal wakes every wait of both threads; the purges end a read, a
// write or a drain that the driver holds. Bytes already on the line stay (a
// pseudo-terminal keeps written bytes until the other end reads them).
TComm::Port::~Port() {
  link_->Stop();
  link_->Device().PurgeInput();  // bytes not yet read are discarded
  serial::FinishThread(*threads_.read, kThreadStopTimeout);
  link_->Jobs().Close();                                        // jobs not yet taken are discarded
  if (link_->Transmit().Stop()) link_->Device().PurgeOutput();  // bytes on their way are discarded
  serial::FinishThread(*threads_.write, kThreadStopTimeout);
  link_->Notices().Silence();
}

bool TComm::Port::Send(serial::Bytes job) { return link_->Jobs().Push(std::move(job)); }

PortError TComm::Port::ApplyCommState(const Settings& settings) { return link_->Device().ApplyCommState(settings); }

PortError TComm::Port::ApplyCommTimeouts(const Settings& settings) {
  return link_->Device().ApplyCommTimeouts(settings);
}

namespace serial {

// ---------------------------------------------------------------------------
// Pure helpers

namespace {

constexpr std::uint32_t DtrControlBits(TDtrControl control) {
  switch (control) {
    case TDtrControl::DtrEnable:
      return 0x0010;
    case TDtrControl::DtrDisable:
      return 0;
    case TDtrControl::DtrHandshake:
      return 0x0020;
  }
  return 0;
}

constexpr std::uint32_t RtsControlBits(TRtsControl control) {
  switch (control) {
    case TRtsControl::RtsEnable:
      return 0x1000;
    case TRtsControl::RtsDisable:
      return 0;
    case TRtsControl::RtsHandshake:
      return 0x2000;
    case TRtsControl::RtsTransmissionAvailable:
      return 0x3000;
  }
  return 0;
}

constexpr std::uint32_t FlagIf(bool on, std::uint32_t flag) { return on ? flag : 0; }

constexpr std::uint32_t kMaxDword = 0xFFFFFFFF;

bool Grew(std::uint32_t before, std::uint32_t after) { return after != before; }

}  // namespace

std::uint32_t DcbFlagWord(const TComm::Settings& s) {
  return 0x0001  // fBinary
         | FlagIf(s.ParityCheck, 0x0002) | FlagIf(s.Outx_CtsFlow, 0x0004) | FlagIf(s.Outx_DsrFlow, 0x0008) |
         DtrControlBits(s.DtrControl) | FlagIf(s.DsrSensitivity, 0x0040) | FlagIf(s.TxContinueOnXoff, 0x0080) |
         FlagIf(s.Outx_XonXoffFlow, 0x0100) | FlagIf(s.Inx_XonXoffFlow, 0x0200) |
         FlagIf(s.ReplaceWhenParityError, 0x0400) | FlagIf(s.IgnoreNullChar, 0x0800) | RtsControlBits(s.RtsControl);
}

std::optional<Clock::time_point> ChunkEnd(const ReadTimeouts& timeouts, Clock::time_point first,
                                          Clock::time_point last) {
  using std::chrono::milliseconds;
  std::optional<Clock::time_point> end;
  if (timeouts.interval == kMaxDword) {
    end = last;
  } else if (timeouts.interval != 0) {
    end = last + milliseconds(timeouts.interval);
  }
  const std::uint64_t total =
      std::uint64_t{timeouts.multiplier} * TComm::kReadBufferSize + std::uint64_t{timeouts.constant};
  if (total != 0) {
    const Clock::time_point totalEnd = first + milliseconds(static_cast<milliseconds::rep>(total));
    end = end ? std::min(*end, totalEnd) : totalEnd;
  }
  return end;
}

std::uint32_t LineErrorBits(const LineCounters& before, const LineCounters& after) {
  return FlagIf(Grew(before.bufOverrun, after.bufOverrun), CE_RXOVER) |
         FlagIf(Grew(before.overrun, after.overrun), CE_OVERRUN) |
         FlagIf(Grew(before.parity, after.parity), CE_RXPARITY) | FlagIf(Grew(before.frame, after.frame), CE_FRAME) |
         FlagIf(Grew(before.brk, after.brk), CE_BREAK);
}

std::uint32_t ModemEventBits(const LineCounters& before, const LineCounters& after) {
  return FlagIf(Grew(before.dcd, after.dcd), MODEM_RLSD) | FlagIf(Grew(before.rng, after.rng), MODEM_RING);
}

// ---------------------------------------------------------------------------
// ReceivedByteFilter

void ReceivedByteFilter::SetOptions(const Options& options) {
  if (!options.markedErrors) state_ = State::Plain;  // no markers to finish any more
  options_ = options;
}

void ReceivedByteFilter::Emit(std::uint8_t byte, std::uint8_t* out, std::size_t& written) const {
  if (byte == 0 && options_.stripNulls) return;
  out[written++] = byte;
}

std::size_t ReceivedByteFilter::Filter(const std::uint8_t* in, std::size_t count, std::uint8_t* out) {
  std::size_t written = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t byte = in[i];
    if (!options_.markedErrors) {
      Emit(byte, out, written);
      continue;
    }
    switch (state_) {
      case State::Plain:
        if (byte == 0xFF) {
          state_ = State::SawFF;
        } else {
          Emit(byte, out, written);
        }
        break;
      case State::SawFF:
        if (byte == 0x00) {
          state_ = State::SawFF00;
          break;
        }
        // 0xFF 0xFF is one real 0xFF. Anything else cannot follow a lone
        // 0xFF; keeping just the byte holds one output byte per input byte.
        Emit(byte, out, written);
        state_ = State::Plain;
        break;
      case State::SawFF00:
        Emit(options_.replaceErrors ? options_.replacement : byte, out, written);
        state_ = State::Plain;
        break;
    }
  }
  return written;
}

}  // namespace serial
}  // namespace mx
