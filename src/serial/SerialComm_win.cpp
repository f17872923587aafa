// The serial device on Windows: the port opened for overlapped I/O; a
// receive loop that keeps one read and one line-event wait pending at all
// times; transmit primitives that write and drain; a manual-reset stop event
// that ends the waits of both threads.

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

PortError LastPortError(PortErrorKind otherwise) {
  return serial::SystemPortError(static_cast<int>(::GetLastError()), otherwise);
}

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
// The device

// The open port with the stop event of its threads and the transmit
// thread's write record.
class WinDevice final : public serial::PortDevice {
 public:
  // Raises ECommsError; a failed open leaves nothing open.
  explicit WinDevice(const std::string& name)
      : comm_(OpenCommHandle(name)), stopEvent_(MakeEvent(true, false)), writeEvent_(MakeEvent(true, true)) {
    if (!stopEvent_ || !writeEvent_) throw ECommsError("Unable to create event");
    writeRecord_.hEvent = writeEvent_.Get();
  }

  HANDLE Comm() const { return comm_.Get(); }
  HANDLE StopEvent() const { return stopEvent_.Get(); }

  void PurgeAll() override { ::PurgeComm(Comm(), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR); }
  PortError ApplyCommState(const TComm::Settings& settings) override;
  PortError ApplyCommTimeouts(const TComm::Settings& settings) override;
  void SignalStop() override { ::SetEvent(StopEvent()); }
  void PurgeInput() override { ::PurgeComm(Comm(), PURGE_RXABORT | PURGE_RXCLEAR); }
  void PurgeOutput() override { ::PurgeComm(Comm(), PURGE_TXABORT | PURGE_TXCLEAR); }  // also ends a drain
  void EnterTransmitThread() override { ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL); }
  void RunReceiver(serial::PortLink& link) override;
  serial::IoResult Write(const Bytes& job) override;
  serial::IoResult Drain() override;

 private:
  serial::IoResult AwaitWrite(DWORD& written);

  UniqueHandle comm_;       // closed last, after the events
  UniqueHandle stopEvent_;  // manual reset: once set, every later look sees it
  UniqueHandle writeEvent_;
  OVERLAPPED writeRecord_{};
};

// ---------------------------------------------------------------------------
// Receive thread

// Keeps one overlapped read and one overlapped line-event wait pending, and
// posts every completed chunk, line error and modem-line event to the owner.
// Note: this class runs in the receive thread.
class TReadThread {
 public:
  TReadThread(WinDevice& device, serial::PortLink& link) : device_(device), link_(link) {}
  void Execute();

 private:
  bool Prepare();
  void WaitLoop();
  bool ArmLineEventWait();
  bool ArmRead();
  bool HandleCompletedRead();
  bool HandleLineEvent(bool retrieve);
  bool Deliver(DWORD count);
  bool Fail(const PortError& error);
  bool Failure(DWORD error);
  void FinishPendingIo();

  WinDevice& device_;
  serial::PortLink& link_;
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
  ::PurgeComm(device_.Comm(), PURGE_RXABORT | PURGE_RXCLEAR);
  FinishPendingIo();
}

bool TReadThread::Prepare() {
  readEvent_ = MakeEvent(true, true);
  lineEvent_ = MakeEvent(true, true);
  if (!readEvent_ || !lineEvent_ || !::SetCommMask(device_.Comm(), kLineEvents))
    return Fail(LastPortError(PortErrorKind::IoError));
  readRecord_.hEvent = readEvent_.Get();
  lineRecord_.hEvent = lineEvent_.Get();
  return true;
}

void TReadThread::WaitLoop() {
  for (;;) {
    // The stop event first: when several are signalled, it wins.
    const DWORD count = lineEvents_ ? 3 : 2;
    const HANDLE waitSet[] = {device_.StopEvent(), lineEvents_ ? lineEvent_.Get() : readEvent_.Get(), readEvent_.Get()};
    const DWORD woken = ::WaitForMultipleObjects(count, waitSet, FALSE, INFINITE);
    if (woken == WAIT_OBJECT_0) return;
    if (lineEvents_ && woken == WAIT_OBJECT_0 + 1) {
      if (!HandleLineEvent(true) || !ArmLineEventWait()) return;
    } else if (woken == WAIT_OBJECT_0 + count - 1) {
      if (!HandleCompletedRead() || !ArmRead()) return;
    } else {
      Fail(LastPortError(PortErrorKind::IoError));  // the wait failed
      return;
    }
  }
}

bool TReadThread::ArmLineEventWait() {
  for (;;) {
    if (IsSignalled(device_.StopEvent())) return false;
    if (::WaitCommEvent(device_.Comm(), &eventMask_, &lineRecord_)) {
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
    if (error != ERROR_IO_PENDING) return Failure(error);
    linePending_ = true;
    return true;
  }
}

bool TReadThread::ArmRead() {
  for (;;) {
    if (IsSignalled(device_.StopEvent())) return false;
    if (::ReadFile(device_.Comm(), buffer_.data(), static_cast<DWORD>(buffer_.size()), nullptr, &readRecord_)) {
      if (!HandleCompletedRead()) return false;  // completed at once
      continue;
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_IO_PENDING) return Failure(error);
    readPending_ = true;
    return true;
  }
}

bool TReadThread::HandleCompletedRead() {
  readPending_ = false;
  DWORD count = 0;
  if (!::GetOverlappedResult(device_.Comm(), &readRecord_, &count, FALSE)) return Failure(::GetLastError());
  return Deliver(count);
}

bool TReadThread::HandleLineEvent(bool retrieve) {
  if (retrieve) {
    linePending_ = false;
    DWORD unused = 0;
    if (!::GetOverlappedResult(device_.Comm(), &lineRecord_, &unused, FALSE)) return Failure(::GetLastError());
  }
  bool handled = false;
  if (eventMask_ & EV_ERR) {
    DWORD errors = 0;
    if (!::ClearCommError(device_.Comm(), &errors, nullptr)) return Failure(::GetLastError());
    if (!link_.Notices().PostReceiveError(errors)) return Fail(serial::kNoticeLost);
    handled = true;
  }
  if (const std::uint32_t modem = ModemBits(eventMask_); modem != 0) {
    if (!link_.Notices().PostModemStateChange(modem)) return Fail(serial::kNoticeLost);
    handled = true;
  }
  // An empty event mask: the driver ended the wait, as it does when the device goes.
  if (!handled) link_.Fail({PortErrorKind::DeviceGone, {}});
  return handled;
}

// A read that completes empty ends the thread without notice; with a read
// interval and no total timeout, as the owner configures, a read never does.
bool TReadThread::Deliver(DWORD count) {
  if (count == 0) return false;
  return link_.Notices().PostReceiveData(buffer_.data(), count) || Fail(serial::kNoticeLost);
}

bool TReadThread::Fail(const PortError& error) {
  link_.Fail(error);
  return false;
}

// ERROR_INVALID_HANDLE means the port was closed under the thread, which
// then ends without notice.
bool TReadThread::Failure(DWORD error) {
  if (error != ERROR_INVALID_HANDLE)
    link_.Fail(serial::SystemPortError(static_cast<int>(error), PortErrorKind::IoError));
  return false;
}

// The records and the buffer must outlive the operations that use them: an
// operation still pending is cancelled and awaited before the thread ends.
void TReadThread::FinishPendingIo() {
  if (!readPending_ && !linePending_) return;
  ::CancelIo(device_.Comm());  // this thread's operations on the port
  DWORD unused = 0;
  if (readPending_) ::GetOverlappedResult(device_.Comm(), &readRecord_, &unused, TRUE);
  if (linePending_) ::GetOverlappedResult(device_.Comm(), &lineRecord_, &unused, TRUE);
  readPending_ = linePending_ = false;
}

void WinDevice::RunReceiver(serial::PortLink& link) { TReadThread(*this, link).Execute(); }

// ---------------------------------------------------------------------------
// Transmit primitives

// Note: runs in the transmit thread.
serial::IoResult WinDevice::Write(const Bytes& job) {
  std::size_t offset = 0;
  while (offset < job.size()) {
    const DWORD remaining = static_cast<DWORD>(job.size() - offset);
    if (!::WriteFile(Comm(), job.data() + offset, remaining, nullptr, &writeRecord_)) {
      const DWORD error = ::GetLastError();
      // ERROR_INVALID_HANDLE: the port was closed under the thread.
      if (error == ERROR_INVALID_HANDLE) return serial::IoResult::Stopped();
      if (error != ERROR_IO_PENDING)
        return serial::IoResult::Failed(serial::SystemPortError(static_cast<int>(error), PortErrorKind::IoError));
    }
    DWORD written = 0;
    if (serial::IoResult result = AwaitWrite(written); result.status != serial::IoResult::Status::Done) return result;
    offset += written;
  }
  return serial::IoResult::Done();
}

// Waits for the write under way, unless the stop event comes first (a write
// held by XOFF ends so). The record and the job's bytes must outlive the
// operation, so a write left behind is cancelled and awaited.
serial::IoResult WinDevice::AwaitWrite(DWORD& written) {
  const HANDLE waitSet[] = {StopEvent(), writeEvent_.Get()};
  const DWORD woken = ::WaitForMultipleObjects(2, waitSet, FALSE, INFINITE);
  if (woken == WAIT_OBJECT_0 + 1) {
    if (::GetOverlappedResult(Comm(), &writeRecord_, &written, TRUE)) return serial::IoResult::Done();
    return serial::IoResult::Failed(LastPortError(PortErrorKind::IoError));
  }
  const PortError waitError = LastPortError(PortErrorKind::IoError);
  ::CancelIo(Comm());
  DWORD unused = 0;
  ::GetOverlappedResult(Comm(), &writeRecord_, &unused, TRUE);
  if (woken != WAIT_OBJECT_0) return serial::IoResult::Failed(waitError);  // the wait failed
  return serial::IoResult::Stopped();
}

// Note: runs in the transmit thread. The output purge of a close ends the
// flush early.
serial::IoResult WinDevice::Drain() {
  if (::FlushFileBuffers(Comm())) return serial::IoResult::Done();
  const DWORD error = ::GetLastError();
  if (error == ERROR_OPERATION_ABORTED || IsSignalled(StopEvent())) return serial::IoResult::Stopped();
  // A driver that cannot flush (some virtual ports): the bytes are as far as it takes them.
  if (error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED) return serial::IoResult::Done();
  return serial::IoResult::Failed(serial::SystemPortError(static_cast<int>(error), PortErrorKind::IoError));
}

// Fields not set here keep the driver's values (DCBlength, wReserved,
// EofChar, EvtChar, wReserved1).
PortError WinDevice::ApplyCommState(const TComm::Settings& settings) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!::GetCommState(Comm(), &dcb)) return LastPortError(PortErrorKind::SettingRefused);
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
  if (!::SetCommState(Comm(), &dcb)) return LastPortError(PortErrorKind::SettingRefused);
  return {};
}

PortError WinDevice::ApplyCommTimeouts(const TComm::Settings& settings) {
  COMMTIMEOUTS timeouts{};
  if (!::GetCommTimeouts(Comm(), &timeouts)) return LastPortError(PortErrorKind::SettingRefused);
  timeouts.ReadIntervalTimeout = settings.ReadIntervalTimeout;
  timeouts.ReadTotalTimeoutMultiplier = settings.ReadTotalTimeoutMultiplier;
  timeouts.ReadTotalTimeoutConstant = settings.ReadTotalTimeoutConstant;
  timeouts.WriteTotalTimeoutMultiplier = settings.WriteTotalTimeoutMultiplier;
  timeouts.WriteTotalTimeoutConstant = settings.WriteTotalTimeoutConstant;
  if (!::SetCommTimeouts(Comm(), &timeouts)) return LastPortError(PortErrorKind::SettingRefused);
  return {};
}

}  // namespace

// A close on Windows puts nothing back either: every program sets the port
// up when it opens it.
void RestorePortSettingsNow() {}

std::unique_ptr<serial::PortDevice> serial::OpenPortDevice(const std::string& name) {
  return std::make_unique<WinDevice>(name);
}

// An unplugged USB adapter fails its pending and later operations with one
// of several codes, depending on the driver; they all mean the device is gone.
PortError serial::SystemPortError(int code, PortErrorKind otherwise) {
  const std::error_code system(code, std::system_category());
  switch (static_cast<DWORD>(code)) {
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_BAD_COMMAND:
    case ERROR_ACCESS_DENIED:
      return {PortErrorKind::DeviceGone, system};
    case ERROR_GEN_FAILURE:
    case ERROR_IO_DEVICE:
      return {PortErrorKind::IoError, system};
    default:
      return {otherwise, system};
  }
}

}  // namespace mx
