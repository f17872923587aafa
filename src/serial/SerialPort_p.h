#pragma once

// Private parts of TComm shared by the platform files: the port class that
// each platform defines (SerialComm_posix.cpp, SerialComm_win.cpp), the
// notices its threads post to the owner, the send queue, the worker threads,
// and the pure helpers that turn settings into what a driver wants. Not for
// use outside the serial component and its tests.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "serial/SerialComm.h"

struct termios;  // POSIX only

namespace mx::serial {

using Bytes = std::vector<std::uint8_t>;

// Posts the worker threads' notices to the owner's event loop, where they
// become the component's events, in posting order. A notice that runs after
// the component is gone does nothing. Each Post* returns false when the
// notice could not be queued.
// Note: the Post* functions run in the receive and transmit threads.
class CommNotices {
 public:
  // `openCount` tells this open of the port from earlier ones: a notice of
  // the transmit thread of an earlier open says nothing about this one.
  CommNotices(EventLoop& owner, std::weak_ptr<TComm*> component, std::uint64_t openCount)
      : owner_(owner), component_(std::move(component)), openCount_(openCount) {}

  // OnReceiveData with `count` bytes (1..kReadBufferSize) and one 0 byte after them.
  bool PostReceiveData(const std::uint8_t* bytes, std::size_t count) const;
  bool PostReceiveError(std::uint32_t errorBits) const;      // OnReceiveError, CE_* bits
  bool PostRequestHangup() const;                            // OnRequestHangup
  bool PostModemStateChange(std::uint32_t modemBits) const;  // OnModemStateChange, MODEM_* bits
  // OnSendDataEmpty, raised only if no job has been queued beyond the
  // `jobsWritten` that the transmit thread has finished.
  bool PostSendDataEmpty(std::uint64_t jobsWritten) const;

 private:
  bool Post(std::function<void(TComm&)> raise) const;

  EventLoop& owner_;
  const std::weak_ptr<TComm*> component_;
  const std::uint64_t openCount_;
};

// Send jobs on their way from SendData to the transmit thread, in order.
// Once closed it refuses new jobs and has dropped the queued ones.
class SendQueue {
 public:
  // False when the queue is closed (the transmit thread has ended or is ending).
  bool Push(Bytes job);
  // The oldest job, or nothing when the queue is empty or closed.
  std::optional<Bytes> TryTake();
  // Blocks until a job is queued or the queue is closed; false when closed.
  bool WaitForJob();
  // Drops every queued job and wakes WaitForJob; idempotent.
  void Close();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Bytes> jobs_;
  bool closed_ = false;
};

// Whether the transmit thread has bytes on their way to the line, as far as
// a close cares. The thread starts a job only while no stop has been asked
// for, and says it has drained only after everything it wrote has left the
// driver; a close asks under the same lock. So a close discards output only
// when a job is being written or drained, never the bytes of jobs already on
// the line: on a pseudo-terminal a discard would throw away whatever the
// other end has not read yet.
class TransmitGate {
 public:
  // Transmit thread: about to write a job. False once a stop has been asked
  // for: the job is then dropped before any of it reaches the driver.
  bool BeginJob();
  // Transmit thread: every job it took has been written and drained.
  void MarkDrained();
  // Closing thread: asks the transmit thread to stop. True when bytes are on
  // their way, which the caller then discards (that also ends a drain).
  bool Stop();

 private:
  std::mutex mutex_;
  bool stopped_ = false;
  bool drained_ = true;  // nothing written yet
};

// A thread that is created held, then either started or discarded (a
// discarded thread ends without running its body), and whose end can be
// awaited with a time limit before it is joined.
class WorkerThread {
 public:
  // Throws std::system_error when the thread cannot be created.
  explicit WorkerThread(std::function<void()> body);
  // Discards the thread if it was never started, then joins it.
  ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  void Start();
  void Discard();
  // True once the body has returned (or the thread was discarded), waiting at
  // most `limit` for it.
  bool WaitForEnd(std::chrono::milliseconds limit);
  void Join();

 private:
  enum class Gate { Held, Open, Discarded };
  void Run(const std::function<void()>& body);

  std::mutex mutex_;
  std::condition_variable changed_;
  Gate gate_ = Gate::Held;
  bool ended_ = false;
  std::thread thread_;  // last: started once the members above exist
};

// Creates the receive and transmit threads of an open port held, then starts
// both. Raises "Unable to create read thread" or "Unable to create write
// thread"; when the second cannot be made, the first ends without having run.
struct PortThreads {
  std::unique_ptr<WorkerThread> read;
  std::unique_ptr<WorkerThread> write;
};
PortThreads StartPortThreads(std::function<void()> readBody, std::function<void()> writeBody);

// The 32-bit flag word of the Win32 device control block for `settings`,
// rebuilt from zero: fBinary always, fAbortOnError never.
std::uint32_t DcbFlagWord(const TComm::Settings& settings);

// The five timeouts of a read, in ms.
struct ReadTimeouts {
  // Silence after a byte that ends a chunk; 0: none; 0xFFFFFFFF: the chunk
  // ends as soon as nothing more is ready.
  std::uint32_t interval = 0;
  std::uint32_t multiplier = 0;  // per byte of the buffer, added to `constant`
  std::uint32_t constant = 0;    // total time of a chunk; both 0: no total limit
};

// When the chunk whose first byte came at `first` and whose latest byte came
// at `last` ends; nothing when only a full buffer ends it. The wait for the
// first byte is never cut short: a read that would time out empty just stays
// pending.
std::optional<Clock::time_point> ChunkEnd(const ReadTimeouts& timeouts, Clock::time_point first,
                                          Clock::time_point last);

// The error and modem-line counters of a serial driver.
struct LineCounters {
  std::uint32_t frame = 0;
  std::uint32_t parity = 0;
  std::uint32_t overrun = 0;     // the UART's own overrun
  std::uint32_t bufOverrun = 0;  // the driver's input buffer overflowed
  std::uint32_t brk = 0;
  std::uint32_t dcd = 0;  // carrier-detect changes
  std::uint32_t rng = 0;  // ring-indicator changes
};

// CE_* bits for the counters that grew between `before` and `after`.
std::uint32_t LineErrorBits(const LineCounters& before, const LineCounters& after);
// MODEM_RLSD and MODEM_RING for the modem counters that grew.
std::uint32_t ModemEventBits(const LineCounters& before, const LineCounters& after);

// Received-byte filter of the POSIX port. With `markedErrors` the driver
// marks a byte received with a parity or framing error (or a break) as
// 0xFF 0x00 byte and doubles a real 0xFF; the filter undoes that and puts
// `replacement` in place of a marked byte when `replaceErrors` is set. With
// `stripNulls` every 0 byte is dropped. A marker split across reads is held
// until its end arrives.
class ReceivedByteFilter {
 public:
  struct Options {
    bool markedErrors = false;
    bool replaceErrors = false;
    std::uint8_t replacement = 0;
    bool stripNulls = false;
  };

  void SetOptions(const Options& options);
  // Filters `count` bytes into `out`, which has room for `count`; returns the
  // number of bytes written.
  std::size_t Filter(const std::uint8_t* in, std::size_t count, std::uint8_t* out);

 private:
  enum class State { Plain, SawFF, SawFF00 };
  void Emit(std::uint8_t byte, std::uint8_t* out, std::size_t& written) const;

  Options options_;
  State state_ = State::Plain;
};

// POSIX only: puts `t` into raw mode with the device-control settings.
// False when the baud rate has no speed code; the speed then stays as it was.
bool SetTermios(termios& t, const TComm::Settings& settings);

}  // namespace mx::serial

namespace mx {

// One open port and its two worker threads. Constructing it opens and
// configures the port named by the settings and starts the threads;
// destroying it stops the receive thread, then the transmit thread, and
// closes the port. Every member runs on the owner thread.
class TComm::Port {
 public:
  // Raises ECommsError with the component's messages; nothing is left open
  // after a failure.
  Port(const Settings& settings, serial::CommNotices notices);
  ~Port();
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  // Queues a job for the transmit thread; false once that thread has ended.
  bool Send(serial::Bytes job);
  // Apply the device-control settings or the timeouts to the open port; false
  // when the driver refused (the caller may ignore it).
  bool ApplyCommState(const Settings& settings);
  bool ApplyCommTimeouts(const Settings& settings);

 private:
  struct Impl;  // per platform
  std::unique_ptr<Impl> impl_;
};

}  // namespace mx
