// TComm::Port on Windows: the port opened for overlapped I/O; a receive
// thread that keeps one read and one line-event wait pending at all times; a
// transmit thread that writes the queued jobs; a manual-reset stop event that
// ends both. Send jobs wait in a mutex-guarded queue whose auto-reset event
// wakes the transmit thread, in place of a thread message queue.

#include "serial/SerialComm.h"
#include "serial/SerialPort_p.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <optional>
#include <system_error>
#include <utility>

namespace mx {
namespace {

using serial::Bytes;

constexpr DWORD kDriverQueueSize = 4096;
constexpr DWORD kLineEvents = EV_ERR | EV_RLSD | EV_RING;  // arrival of data is not here: a read is always pending

class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
  ~UniqueHandle() { Reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }

  HANDLE Get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  void Reset() {
    if (handle_ != nullptr) ::CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_ = nullptr;
};

// An unnamed event; empty when it cannot be made.
UniqueHandle MakeEvent(bool manualReset, bool signalled) {
  return UniqueHandle(::CreateEventA(nullptr, manualReset, signalled, nullptr));
}

// Any result of a zero-time wait other than a time-out counts as signalled.
bool IsSignalled(HANDLE event) { return ::WaitForSingleObject(event, 0) != WAIT_TIMEOUT; }

// The calling thread's last Win32 error, with its text from the system.
std::error_code SystemError() { return {static_cast<int>(::GetLastError()), std::system_category()}; }

// Raises ECommsError; a failed open leaves nothing open.
UniqueHandle OpenCommHandle(const std::string& name) {
  UniqueHandle comm(::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr));
  if (!comm) throw ECommsError("Error opening serial port", SystemError());
  if (::GetFileType(comm.Get()) != FILE_TYPE_CHAR) throw ECommsError("File handle is not a comm handle ");
  if (!::SetupComm(comm.Get(), kDriverQueueSize, kDriverQueueSize)) throw ECommsError("Cannot setup comm buffer");
  return comm;
}

std::uint32_t ModemBits(DWORD eventMask) {
  std::uint32_t modem = 0;
  if (eventMask & EV_RLSD) modem |= MODEM_RLSD;
  if (eventMask & EV_RING) modem |= MODEM_RING;
  return modem;
}

// The DCB's flag bits are bit-fields in the one DWORD that follows BaudRate.
void StoreFlagWord(DCB& dcb, std::uint32_t flags) {
  static_assert(offsetof(DCB, wReserved) == offsetof(DCB, BaudRate) + 2 * sizeof(DWORD));
  std::memcpy(reinterpret_cast<unsigned char*>(&dcb) + offsetof(DCB, BaudRate) + sizeof(DWORD), &flags, sizeof flags);
}

// ---------------------------------------------------------------------------
// What the threads share

// What both worker threads use: set up before they start.
class PortLink {
 public:
  // Raises ECommsError when an event cannot be made.
  PortLink(HANDLE commHandle, serial::CommNotices notices)
      : CommHandle(commHandle),
        Notices(std::move(notices)),
        closeEvent_(MakeEvent(true, false)),
        jobEvent_(MakeEvent(false, false)) {
    if (!closeEvent_ || !jobEvent_) throw ECommsError("Unable to create event");
  }

  HANDLE CloseEvent() const { return closeEvent_.Get(); }
  HANDLE JobEvent() const { return jobEvent_.Get(); }

  bool Queue(Bytes job) {
    if (!Jobs.Push(std::move(job))) return false;
    ::SetEvent(jobEvent_.Get());
    return true;
  }

  // After an unexpected failure, such as the device being unplugged: refuse
  // further jobs, stop both threads, and tell the owner once.
  void RequestHangup() {
    Jobs.Close();
    ::SetEvent(closeEvent_.Get());
    if (!hangupPosted_.exchange(true)) Notices.PostRequestHangup();
  }

  // ERROR_INVALID_HANDLE means the port was closed under the thread, which
  // then ends without notice; any other error asks the owner to hang up.
  // Returns false: the thread ends.
  bool Failure(DWORD error) {
    if (error != ERROR_INVALID_HANDLE) RequestHangup();
    return false;
  }

  const HANDLE CommHandle;
  const serial::CommNotices Notices;
  serial::SendQueue Jobs;
  serial::TransmitGate Transmit;

 private:
  UniqueHandle closeEvent_;  // manual reset: once set, every later look sees it
  UniqueHandle jobEvent_;    // auto reset: set for each queued job
  std::atomic<bool> hangupPosted_{false};
};

// ---------------------------------------------------------------------------
// Receive thread

// Keeps one overlapped read and one overlapped line-event wait pending, and
// posts every completed chunk, line error and modem-line event to the owner.
// Note: this class runs in the receive thread.
class TReadThread {
 public:
  explicit TReadThread(PortLink& link) : link_(link) {}
  void Execute();

 private:
  bool Prepare();
  void WaitLoop();
  bool ArmLineEventWait();
  bool ArmRead();
  bool HandleCompletedRead();
  bool HandleLineEvent(bool retrieve);
  bool Deliver(DWORD count);
  bool Fail();
  void FinishPendingIo();

  PortLink& link_;
  UniqueHandle readEvent_;
  UniqueHandle lineEvent_;
  OVERLAPPED readRecord_{};
  OVERLAPPED lineRecord_{};
  bool lineEvents_ = true;  // false when the driver cannot wait for line events
  bool readPending_ = false;
  bool linePending_ = false;
  DWORD eventMask_ = 0;
  std::array<std::uint8_t, TComm::kReadBufferSize> buffer_{};
};

void TReadThread::Execute() {
  ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
  if (Prepare() && ArmLineEventWait() && ArmRead()) WaitLoop();
  ::PurgeComm(link_.CommHandle, PURGE_RXABORT | PURGE_RXCLEAR);
  FinishPendingIo();
}

bool TReadThread::Prepare() {
  readEvent_ = MakeEvent(true, true);
  lineEvent_ = MakeEvent(true, true);
  if (!readEvent_ || !lineEvent_ || !::SetCommMask(link_.CommHandle, kLineEvents)) return Fail();
  readRecord_.hEvent = readEvent_.Get();
  lineRecord_.hEvent = lineEvent_.Get();
  return true;
}

void TReadThread::WaitLoop() {
  for (;;) {
    // The stop event first: when several are signalled, it wins.
    const DWORD count = lineEvents_ ? 3 : 2;
    const HANDLE waitSet[] = {link_.CloseEvent(), lineEvents_ ? lineEvent_.Get() : readEvent_.Get(), readEvent_.Get()};
    const DWORD woken = ::WaitForMultipleObjects(count, waitSet, FALSE, INFINITE);
    if (woken == WAIT_OBJECT_0) return;
    if (lineEvents_ && woken == WAIT_OBJECT_0 + 1) {
      if (!HandleLineEvent(true) || !ArmLineEventWait()) return;
    } else if (woken == WAIT_OBJECT_0 + count - 1) {
      if (!HandleCompletedRead() || !ArmRead()) return;
    } else {
      Fail();  // the wait failed
      return;
    }
  }
}

bool TReadThread::ArmLineEventWait() {
  for (;;) {
    if (IsSignalled(link_.CloseEvent())) return false;
    if (::WaitCommEvent(link_.CommHandle, &eventMask_, &lineRecord_)) {
      if (!HandleLineEvent(false)) return false;  // completed at once: the mask is filled in
      continue;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_NOT_SUPPORTED) {
      // A driver without line events (Wine on a pseudo-terminal, some
      // virtual ports): reception goes on without them.
      lineEvents_ = false;
      return true;
    }
    if (error != ERROR_IO_PENDING) return link_.Failure(error);
    linePending_ = true;
    return true;
  }
}

bool TReadThread::ArmRead() {
  for (;;) {
    if (IsSignalled(link_.CloseEvent())) return false;
    if (::ReadFile(link_.CommHandle, buffer_.data(), static_cast<DWORD>(buffer_.size()), nullptr, &readRecord_)) {
      if (!HandleCompletedRead()) return false;  // completed at once
      continue;
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_IO_PENDING) return link_.Failure(error);
    readPending_ = true;
    return true;
  }
}

bool TReadThread::HandleCompletedRead() {
  readPending_ = false;
  DWORD count = 0;
  if (!::GetOverlappedResult(link_.CommHandle, &readRecord_, &count, FALSE)) return link_.Failure(::GetLastError());
  return Deliver(count);
}

bool TReadThread::HandleLineEvent(bool retrieve) {
  if (retrieve) {
    linePending_ = false;
    DWORD unused = 0;
    if (!::GetOverlappedResult(link_.CommHandle, &lineRecord_, &unused, FALSE)) return link_.Failure(::GetLastError());
  }
  bool handled = false;
  if (eventMask_ & EV_ERR) {
    DWORD errors = 0;
    if (!::ClearCommError(link_.CommHandle, &errors, nullptr)) return link_.Failure(::GetLastError());
    if (!link_.Notices.PostReceiveError(errors)) return Fail();
    handled = true;
  }
  if (const std::uint32_t modem = ModemBits(eventMask_); modem != 0) {
    if (!link_.Notices.PostModemStateChange(modem)) return Fail();
    handled = true;
  }
  if (!handled) link_.RequestHangup();  // an empty event mask
  return handled;
}

// A read that completes empty ends the thread without notice; with a read
// interval and no total timeout, as the owner configures, a read never does.
bool TReadThread::Deliver(DWORD count) {
  if (count == 0) return false;
  return link_.Notices.PostReceiveData(buffer_.data(), count) || Fail();
}

bool TReadThread::Fail() {
  link_.RequestHangup();
  return false;
}

// The records and the buffer must outlive the operations that use them: an
// operation still pending is cancelled and awaited before the thread ends.
void TReadThread::FinishPendingIo() {
  if (!readPending_ && !linePending_) return;
  ::CancelIo(link_.CommHandle);  // this thread's operations on the port
  DWORD unused = 0;
  if (readPending_) ::GetOverlappedResult(link_.CommHandle, &readRecord_, &unused, TRUE);
  if (linePending_) ::GetOverlappedResult(link_.CommHandle, &lineRecord_, &unused, TRUE);
  readPending_ = linePending_ = false;
}

// ---------------------------------------------------------------------------
// Transmit thread

// Takes the queued jobs in order and writes each completely. Posts
// OnSendDataEmpty once when it starts with nothing to do and once each time
// the queue runs empty after writes.
// Note: this class runs in the transmit thread.
class TWriteThread {
 public:
  explicit TWriteThread(PortLink& link) : link_(link) {}
  void Execute();

 private:
  void Serve();
  bool Write(const Bytes& job);
  bool AwaitWrite(DWORD& written);

  PortLink& link_;
  UniqueHandle writeEvent_;
  OVERLAPPED record_{};
};

void TWriteThread::Execute() {
  ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL);
  writeEvent_ = MakeEvent(true, true);
  if (writeEvent_) {
    record_.hEvent = writeEvent_.Get();
    Serve();
  } else {
    link_.RequestHangup();
  }
  link_.Jobs.Close();  // jobs not taken are discarded; SendData refuses from now on
}

void TWriteThread::Serve() {
  const HANDLE waitSet[] = {link_.CloseEvent(), link_.JobEvent()};
  bool notifyEmpty = true;
  std::uint64_t jobsWritten = 0;
  for (;;) {
    if (std::optional<Bytes> job = link_.Jobs.TryTake()) {
      if (IsSignalled(link_.CloseEvent()) || !link_.Transmit.BeginJob()) return;
      if (!Write(*job)) {
        // Cut short: what this job left in the driver is discarded.
        ::PurgeComm(link_.CommHandle, PURGE_TXABORT | PURGE_TXCLEAR);
        return;
      }
      ++jobsWritten;
      notifyEmpty = true;
      continue;
    }
    if (notifyEmpty) {
      // The gate learns of the written jobs before the owner does, so a
      // close that the notice prompts purges nothing.
      link_.Transmit.MarkDrained();
      if (!link_.Notices.PostSendDataEmpty(jobsWritten)) {
        link_.RequestHangup();
        return;
      }
    }
    notifyEmpty = false;
    const DWORD woken = ::WaitForMultipleObjects(2, waitSet, FALSE, INFINITE);
    if (woken == WAIT_OBJECT_0) return;
    if (woken != WAIT_OBJECT_0 + 1) {
      link_.RequestHangup();  // the wait failed
      return;
    }
  }
}

bool TWriteThread::Write(const Bytes& job) {
  std::size_t offset = 0;
  while (offset < job.size()) {
    const DWORD remaining = static_cast<DWORD>(job.size() - offset);
    if (!::WriteFile(link_.CommHandle, job.data() + offset, remaining, nullptr, &record_)) {
      const DWORD error = ::GetLastError();
      if (error != ERROR_IO_PENDING) return link_.Failure(error);
    }
    DWORD written = 0;
    if (!AwaitWrite(written)) return false;
    offset += written;
  }
  return true;
}

// Waits for the write under way, unless the stop event comes first (a write
// held by XOFF ends so). The record and the job's bytes must outlive the
// operation, so a write left behind is cancelled and awaited.
bool TWriteThread::AwaitWrite(DWORD& written) {
  const HANDLE waitSet[] = {link_.CloseEvent(), writeEvent_.Get()};
  const DWORD woken = ::WaitForMultipleObjects(2, waitSet, FALSE, INFINITE);
  if (woken == WAIT_OBJECT_0 + 1) {
    if (::GetOverlappedResult(link_.CommHandle, &record_, &written, TRUE)) return true;
    return link_.Failure(::GetLastError());
  }
  ::CancelIo(link_.CommHandle);
  DWORD unused = 0;
  ::GetOverlappedResult(link_.CommHandle, &record_, &unused, TRUE);
  if (woken != WAIT_OBJECT_0) link_.RequestHangup();  // the wait failed
  return false;
}

}  // namespace

// ---------------------------------------------------------------------------
// TComm::Port

// A close on Windows puts nothing back either: every program sets the port
// up when it opens it.
void RestorePortSettingsNow() {}

struct TComm::Port::Impl {
  Impl(const Settings& settings, serial::CommNotices notices);
  ~Impl();

  bool ApplyCommState(const Settings& settings);
  bool ApplyCommTimeouts(const Settings& settings);
  void StartThreads();
  void StopThread(serial::WorkerThread& thread, DWORD purgeFlags);

  UniqueHandle comm;  // closed last, after the threads and the events
  PortLink link;
  std::unique_ptr<serial::WorkerThread> readThread;
  std::unique_ptr<serial::WorkerThread> writeThread;
};

TComm::Port::Impl::Impl(const Settings& settings, serial::CommNotices notices)
    : comm(OpenCommHandle(settings.CommName)), link(comm.Get(), std::move(notices)) {
  ::PurgeComm(comm.Get(), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
  // A setting that the driver refuses does not make the open fail.
  ApplyCommTimeouts(settings);
  ApplyCommState(settings);
  StartThreads();
}

void TComm::Port::Impl::StartThreads() {
  serial::PortThreads threads =
      serial::StartPortThreads([this] { TReadThread(link).Execute(); }, [this] { TWriteThread(link).Execute(); });
  readThread = std::move(threads.read);
  writeThread = std::move(threads.write);
}

// Each thread cancels and awaits its own pending operations before it ends,
// so nothing is pending on the port when it closes.
TComm::Port::Impl::~Impl() {
  StopThread(*readThread, PURGE_RXABORT | PURGE_RXCLEAR);  // a pending read completes
  link.Jobs.Close();                                       // jobs not yet taken are discarded
  // Bytes still on their way are discarded; bytes already written stay.
  const bool bytesOnTheirWay = link.Transmit.Stop();
  StopThread(*writeThread, bytesOnTheirWay ? PURGE_TXABORT | PURGE_TXCLEAR : 0);
}

// A thread waits only on sets that hold the stop event, so it ends well
// within the limit; the join then returns at once.
void TComm::Port::Impl::StopThread(serial::WorkerThread& thread, DWORD purgeFlags) {
  ::SetEvent(link.CloseEvent());
  if (purgeFlags != 0) ::PurgeComm(comm.Get(), purgeFlags);
  thread.WaitForEnd(kThreadStopTimeout);
  thread.Join();
}

// Fields not set here keep the driver's values (DCBlength, wReserved,
// EofChar, EvtChar, wReserved1).
bool TComm::Port::Impl::ApplyCommState(const Settings& settings) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!::GetCommState(comm.Get(), &dcb)) return false;
  dcb.BaudRate = settings.BaudRate;
  StoreFlagWord(dcb, serial::DcbFlagWord(settings));
  dcb.XonLim = settings.XonLimit;
  dcb.XoffLim = settings.XoffLimit;
  dcb.ByteSize = static_cast<BYTE>(static_cast<int>(settings.ByteSize) + 5);
  dcb.Parity = static_cast<BYTE>(settings.Parity);
  dcb.StopBits = static_cast<BYTE>(settings.StopBits);
  dcb.XonChar = settings.XonChar;
  dcb.XoffChar = settings.XoffChar;
  dcb.ErrorChar = settings.ReplacedChar;
  return ::SetCommState(comm.Get(), &dcb) != FALSE;
}

bool TComm::Port::Impl::ApplyCommTimeouts(const Settings& settings) {
  COMMTIMEOUTS timeouts{};
  if (!::GetCommTimeouts(comm.Get(), &timeouts)) return false;
  timeouts.ReadIntervalTimeout = settings.ReadIntervalTimeout;
  timeouts.ReadTotalTimeoutMultiplier = settings.ReadTotalTimeoutMultiplier;
  timeouts.ReadTotalTimeoutConstant = settings.ReadTotalTimeoutConstant;
  timeouts.WriteTotalTimeoutMultiplier = settings.WriteTotalTimeoutMultiplier;
  timeouts.WriteTotalTimeoutConstant = settings.WriteTotalTimeoutConstant;
  return ::SetCommTimeouts(comm.Get(), &timeouts) != FALSE;
}

TComm::Port::Port(const Settings& settings, serial::CommNotices notices)
    : impl_(std::make_unique<Impl>(settings, std::move(notices))) {}

TComm::Port::~Port() = default;

bool TComm::Port::Send(serial::Bytes job) { return impl_->link.Queue(std::move(job)); }

bool TComm::Port::ApplyCommState(const Settings& settings) { return impl_->ApplyCommState(settings); }

bool TComm::Port::ApplyCommTimeouts(const Settings& settings) { return impl_->ApplyCommTimeouts(settings); }

}  // namespace mx
