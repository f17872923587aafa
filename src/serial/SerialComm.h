#pragma once

// TComm: one serial port, configured from its properties, with a receive
// thread and a transmit thread doing all I/O on it. Received bytes, line
// errors and modem events come back as events on the owner's thread, in the
// order they happened, through the owner's EventLoop.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

#include "serial/EventLoop.h"

namespace mx {

// The only exception of the component; raised by OpenComm alone. Its
// message is the component's fixed text; when the operating system refused
// (no such device, in use, no permission) it also keeps the system's error.
class ECommsError : public std::runtime_error {
 public:
  explicit ECommsError(const std::string& message, std::error_code systemError = {})
      : std::runtime_error(message), systemError_(systemError) {}

  // Empty when the failure was not the system's (say, not a terminal).
  const std::error_code& SystemError() const { return systemError_; }

 private:
  std::error_code systemError_;
};

// What went wrong with an open port.
enum class PortErrorKind : std::uint8_t {
  None,
  DeviceGone,      // the device vanished: a hang-up, an unplugged adapter
  IoError,         // the driver failed a read, a write or a wait
  SettingRefused,  // the driver refused a line setting, e.g. a baud rate it has no speed for
  Internal,        // the component could not go on (a notice could not be queued)
};

// A port error with the system's own error code (errno on POSIX, GetLastError
// on Windows, with the system's text through message()); the code is empty
// where the system gave none, e.g. an end of input after a hang-up.
struct PortError {
  PortErrorKind kind = PortErrorKind::None;
  std::error_code systemError;

  explicit operator bool() const { return kind != PortErrorKind::None; }
  bool operator==(const PortError&) const = default;
};

// A stable lower-case name of `kind` for logs and machine-read output:
// "none", "device-gone", "io-error", "setting-refused", "internal".
std::string_view PortErrorKindName(PortErrorKind kind);

enum class TDtrControl : std::uint8_t { DtrEnable, DtrDisable, DtrHandshake };
enum class TRtsControl : std::uint8_t { RtsEnable, RtsDisable, RtsHandshake, RtsTransmissionAvailable };
enum class TByteSize : std::uint8_t { _5, _6, _7, _8 };  // data bits = ordinal + 5
enum class TParity : std::uint8_t { None, Odd, Even, Mark, Space };
enum class TStopBits : std::uint8_t { _1, _1_5, _2 };

// Line error bits of OnReceiveError: the values of the Win32 CE_* flags.
// windows.h defines the same names as macros with the same values, so they
// are declared here only where it has not, whichever header comes first.
#ifndef CE_RXOVER
inline constexpr std::uint32_t CE_RXOVER = 0x0001;
inline constexpr std::uint32_t CE_OVERRUN = 0x0002;
inline constexpr std::uint32_t CE_RXPARITY = 0x0004;
inline constexpr std::uint32_t CE_FRAME = 0x0008;
inline constexpr std::uint32_t CE_BREAK = 0x0010;
#endif

// Modem bits of OnModemStateChange.
inline constexpr std::uint32_t MODEM_RING = 4;  // ring indicator
inline constexpr std::uint32_t MODEM_RLSD = 8;  // carrier detect changed

class TComm;
namespace serial {
class CommNotices;
}

// `Buffer` holds `BufferLength` received bytes followed by one 0 byte. It is
// valid only during the call: the handler must not keep the pointer.
using TReceiveDataEvent = std::function<void(TComm& Sender, const std::uint8_t* Buffer, std::uint16_t BufferLength)>;
using TReceiveErrorEvent = std::function<void(TComm& Sender, std::uint32_t EventMask)>;
using TModemStateChangeEvent = std::function<void(TComm& Sender, std::uint32_t ModemEvent)>;
using TNotifyEvent = std::function<void(TComm& Sender)>;
using TSendDataEmptyEvent = TNotifyEvent;

// Every member function runs on the owner thread (the thread of `owner`'s
// event loop). Events are raised there too, from the owner's event handling.
class TComm {
 public:
  // Chunk limit of the receive thread, in bytes.
  static constexpr std::size_t kReadBufferSize = 2048;
  // How long CloseComm waits for each thread to end. Every wait of a thread
  // is woken by the close, so a thread ends well within it; one that does
  // not (a driver that never returns from a drain) is left to end on its
  // own and keeps the port, unusable, until then.
  static constexpr std::chrono::milliseconds kThreadStopTimeout{10000};

  explicit TComm(EventLoop& owner);
  // Closes the port if the owner has not; notifications still queued are
  // dropped, never run on a destroyed component.
  ~TComm();
  TComm(const TComm&) = delete;
  TComm& operator=(const TComm&) = delete;

  // Opens `CommName` as it is (no prefix added) and starts both threads.
  // Raises ECommsError with a fixed message on failure and then leaves the
  // component closed, except for "This serial port already opened", which
  // leaves the open port as it was.
  void OpenComm();
  // The error of the last OpenComm when it failed; nothing after a
  // successful one. For a front end that reports why, after the owner's
  // handler has shown the fixed message.
  const std::optional<ECommsError>& LastOpenFailure() const { return lastOpenFailure_; }

  // Stops the receive thread, then the transmit thread (waiting at most
  // kThreadStopTimeout for each), discards queued send jobs and unsent bytes,
  // and closes the port. Returns within twice kThreadStopTimeout. Does
  // nothing when closed. Never raises.
  void CloseComm();

  bool IsOpen() const;

  // The last error that the port met since OpenComm, on the owner thread:
  // the failure that ended its threads (set before OnRequestHangup is
  // raised), or a setting the driver refused (at the open or from a setter;
  // the setting stays stored, the port keeps its former value). Nothing when
  // none; cleared by OpenComm, kept after a close.
  const PortError& LastError() const { return lastError_; }

  // True when the transmit thread has reported every job queued since the
  // port was opened as written and drained (the notice behind
  // OnSendDataEmpty has been handled for them), so that a close now loses
  // none of them. False while closed.
  bool AllSent() const;

  // Copies `length` bytes and queues them for the transmit thread; returns at
  // once. True means queued, not written: OnSendDataEmpty follows once every
  // queued job has been written and the driver has sent it. False when the port is closed, the
  // transmit thread has ended, `length` is 0 or the job cannot be queued.
  bool SendData(const std::uint8_t* buffer, std::uint16_t length);

  // Properties. Setters of line settings and timeouts do nothing when the
  // value is unchanged; otherwise they store it and, while open, re-apply the
  // whole set it belongs to; a refusal goes to LastError. CommName and
  // Parity are only stored.
  const std::string& CommName() const { return settings_.CommName; }
  void SetCommName(std::string value) { settings_.CommName = std::move(value); }
  std::uint32_t BaudRate() const { return settings_.BaudRate; }
  void SetBaudRate(std::uint32_t value);
  bool ParityCheck() const { return settings_.ParityCheck; }
  void SetParityCheck(bool value);
  bool Outx_CtsFlow() const { return settings_.Outx_CtsFlow; }
  void SetOutx_CtsFlow(bool value);
  bool Outx_DsrFlow() const { return settings_.Outx_DsrFlow; }
  void SetOutx_DsrFlow(bool value);
  TDtrControl DtrControl() const { return settings_.DtrControl; }
  void SetDtrControl(TDtrControl value);
  bool DsrSensitivity() const { return settings_.DsrSensitivity; }
  void SetDsrSensitivity(bool value);
  bool TxContinueOnXoff() const { return settings_.TxContinueOnXoff; }
  void SetTxContinueOnXoff(bool value);
  bool Outx_XonXoffFlow() const { return settings_.Outx_XonXoffFlow; }
  void SetOutx_XonXoffFlow(bool value);
  bool Inx_XonXoffFlow() const { return settings_.Inx_XonXoffFlow; }
  void SetInx_XonXoffFlow(bool value);
  bool ReplaceWhenParityError() const { return settings_.ReplaceWhenParityError; }
  void SetReplaceWhenParityError(bool value);
  bool IgnoreNullChar() const { return settings_.IgnoreNullChar; }
  void SetIgnoreNullChar(bool value);
  TRtsControl RtsControl() const { return settings_.RtsControl; }
  void SetRtsControl(TRtsControl value);
  std::uint16_t XonLimit() const { return settings_.XonLimit; }
  void SetXonLimit(std::uint16_t value);
  std::uint16_t XoffLimit() const { return settings_.XoffLimit; }
  void SetXoffLimit(std::uint16_t value);
  TByteSize ByteSize() const { return settings_.ByteSize; }
  void SetByteSize(TByteSize value);
  TParity Parity() const { return settings_.Parity; }
  void SetParity(TParity value) { settings_.Parity = value; }
  TStopBits StopBits() const { return settings_.StopBits; }
  void SetStopBits(TStopBits value);
  char XonChar() const { return settings_.XonChar; }
  void SetXonChar(char value);
  char XoffChar() const { return settings_.XoffChar; }
  void SetXoffChar(char value);
  char ReplacedChar() const { return settings_.ReplacedChar; }
  void SetReplacedChar(char value);
  std::uint32_t ReadIntervalTimeout() const { return settings_.ReadIntervalTimeout; }
  void SetReadIntervalTimeout(std::uint32_t value);
  std::uint32_t ReadTotalTimeoutMultiplier() const { return settings_.ReadTotalTimeoutMultiplier; }
  void SetReadTotalTimeoutMultiplier(std::uint32_t value);
  std::uint32_t ReadTotalTimeoutConstant() const { return settings_.ReadTotalTimeoutConstant; }
  void SetReadTotalTimeoutConstant(std::uint32_t value);
  std::uint32_t WriteTotalTimeoutMultiplier() const { return settings_.WriteTotalTimeoutMultiplier; }
  void SetWriteTotalTimeoutMultiplier(std::uint32_t value);
  std::uint32_t WriteTotalTimeoutConstant() const { return settings_.WriteTotalTimeoutConstant; }
  void SetWriteTotalTimeoutConstant(std::uint32_t value);

  // Events; unset events are skipped.
  TReceiveDataEvent OnReceiveData;
  TReceiveErrorEvent OnReceiveError;
  TModemStateChangeEvent OnModemStateChange;
  TNotifyEvent OnRequestHangup;
  TSendDataEmptyEvent OnSendDataEmpty;

  // The line settings, with the component's defaults.
  struct Settings {
    std::string CommName = "COM3";
    std::uint32_t BaudRate = 38400;
    bool ParityCheck = false;
    bool Outx_CtsFlow = false;
    bool Outx_DsrFlow = false;
    TDtrControl DtrControl = TDtrControl::DtrEnable;
    bool DsrSensitivity = false;
    bool TxContinueOnXoff = true;
    bool Outx_XonXoffFlow = true;
    bool Inx_XonXoffFlow = true;
    bool ReplaceWhenParityError = false;
    bool IgnoreNullChar = false;
    TRtsControl RtsControl = TRtsControl::RtsEnable;
    std::uint16_t XonLimit = 500;
    std::uint16_t XoffLimit = 500;
    TByteSize ByteSize = TByteSize::_8;
    TParity Parity = TParity::None;
    TStopBits StopBits = TStopBits::_1;
    char XonChar = 17;
    char XoffChar = 19;
    char ReplacedChar = 0;
    std::uint32_t ReadIntervalTimeout = 100;  // ms of line silence that end a chunk
    std::uint32_t ReadTotalTimeoutMultiplier = 0;
    std::uint32_t ReadTotalTimeoutConstant = 0;
    std::uint32_t WriteTotalTimeoutMultiplier = 0;
    std::uint32_t WriteTotalTimeoutConstant = 0;
  };
  const Settings& CurrentSettings() const { return settings_; }

  // The operating-system side of one open port and its two threads; defined
  // once per platform (SerialComm_posix.cpp, SerialComm_win.cpp).
  class Port;

 private:
  template <typename T>
  void SetLineSetting(T Settings::*field, T value);
  template <typename T>
  void SetTimeoutSetting(T Settings::*field, T value);
  // Every error of the port lands here.
  void SetError(const PortError& error) { lastError_ = error; }

  friend class serial::CommNotices;

  EventLoop& owner_;
  Settings settings_;
  // Jobs queued since the port was opened; an empty-queue notice counts only
  // when the transmit thread has written this many.
  std::uint64_t openCount_ = 0;  // opens so far; tells stale notices apart
  std::uint64_t jobsQueued_ = 0;
  // Jobs the transmit thread has reported written and drained.
  std::uint64_t jobsSent_ = 0;
  std::unique_ptr<Port> port_;
  std::optional<ECommsError> lastOpenFailure_;
  PortError lastError_;
  // Shared with queued notifications, so that one still queued after the
  // component is gone finds it cleared and does nothing.
  std::shared_ptr<TComm*> self_;
};

// For a process about to end without unwinding (a second Ctrl-C, say): puts
// back the settings that every open port had before it was opened, and
// gives up exclusive access, as a close would. Callable from any thread;
// the ports themselves are left to the process's end.
void RestorePortSettingsNow();

}  // namespace mx
