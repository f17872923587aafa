#pragma once

// Private parts of TComm shared by the platform files: the device that each
// platform defines (SerialComm_posix.cpp, SerialComm_win.cpp), the open and
// close sequence and the transmit loop written once over it, the notices the
// threads post to the owner, the send queue, the worker threads, and the
// pure helpers that turn settings into what a driver wants. Not for use
// outside the serial component and its tests.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "serial/SerialComm.h"

struct termios;  // POSIX only

namespace mx::serial {

using Bytes = std::vector<std::uint8_t>;

// The error of a thread whose notice could not be queued (no memory): it
// cannot go on.
inline const PortError kNoticeLost{PortErrorKind::Internal, std::make_error_code(std::errc::not_enough_memory)};

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

  // Owner thread, at the close: from now on nothing is posted, so that a
  // thread left running past the close never touches the owner's loop.
  void Silence();

  // OnReceiveData with `count` bytes (1..kReadBufferSize) and one 0 byte after them.
  bool PostReceiveData(const std::uint8_t* bytes, std::size_t count) const;
  bool PostReceiveError(std::uint32_t errorBits) const;      // OnReceiveError, CE_* bits
  bool PostRequestHangup(const PortError& error) const;      // LastError, then OnRequestHangup
  bool PostModemStateChange(std::uint32_t modemBits) const;  // OnModemStateChange, MODEM_* bits
  // OnSendDataEmpty, raised only if no job has been queued beyond the
  // `jobsWritten` that the transmit thread has finished.
  bool PostSendDataEmpty(std::uint64_t jobsWritten) const;

 private:
  bool Post(std::function<void(TComm&)> raise) const;

  struct Gate {
    std::mutex mutex;
    bool silenced = false;
  };

  EventLoop& owner_;
  const std::weak_ptr<TComm*> component_;
  const std::uint64_t openCount_;
  std::shared_ptr<Gate> gate_ = std::make_shared<Gate>();
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
// awaited with a time limit before it is joined or, past the limit, let go.
class WorkerThread {
 public:
  // Throws std::system_error when the thread cannot be created.
  explicit WorkerThread(std::function<void()> body);
  // Discards the thread if it was never started, then joins it unless it
  // was let go.
  ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  void Start();
  void Discard();
  // True once the body has returned (or the thread was discarded), waiting at
  // most `limit` for it.
  bool WaitForEnd(std::chrono::milliseconds limit);
  void Join();
  // Lets the thread run on alone; what its body holds stays alive with it.
  void LetGo();

 private:
  enum class Gate { Held, Open, Discarded };
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    Gate gate = Gate::Held;
    bool ended = false;
  };
  static void Run(State& state, const std::function<void()>& body);

  std::shared_ptr<State> state_;  // shared with the thread, which may outlive this object
  std::thread thread_;
};

// Joins `thread` once it has ended, waiting at most `limit`; a thread still
// running then is let go. True when it was joined.
bool FinishThread(WorkerThread& thread, std::chrono::milliseconds limit);

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

// How a wait, write or drain of a worker thread ended.
struct IoResult {
  enum class Status { Done, Stopped, Failed };
  Status status = Status::Done;
  PortError error;  // with Failed

  static IoResult Done() { return {}; }
  static IoResult Stopped() { return {Status::Stopped, {}}; }
  static IoResult Failed(PortError error) { return {Status::Failed, std::move(error)}; }
};

class PortLink;

// The operating-system side of one open port: the primitives that the open
// and close sequence and the transmit loop use, and the receive loop. One
// per platform, made by OpenPortDevice; destroying it puts the port's
// settings back and closes it.
class PortDevice {
 public:
  virtual ~PortDevice() = default;

  // Owner thread: discards both directions' queued bytes (at the open).
  virtual void PurgeAll() = 0;
  // Owner thread: apply the device-control settings or the timeouts; the
  // driver's refusal as an error (the caller decides whether it matters).
  virtual PortError ApplyCommState(const TComm::Settings& settings) = 0;
  virtual PortError ApplyCommTimeouts(const TComm::Settings& settings) = 0;

  // Any thread: wakes every wait of both threads for good.
  virtual void SignalStop() = 0;
  // Any thread: discard unread input (ends a pending read), or unsent output
  // (ends a write or a drain under way).
  virtual void PurgeInput() = 0;
  virtual void PurgeOutput() = 0;

  // Transmit thread, once at its start (a thread priority, say).
  virtual void EnterTransmitThread() {}
  // Receive thread: delivers chunks, line errors and modem events through
  // `link` until the stop signal or a failure (reported with link.Fail).
  virtual void RunReceiver(PortLink& link) = 0;
  // Transmit thread: writes the whole job; Stopped when the stop signal came
  // first.
  virtual IoResult Write(const Bytes& job) = 0;
  // Transmit thread: waits until every written byte has left the driver.
  // The output purge of a close ends it.
  virtual IoResult Drain() = 0;
};

// Opens and takes the port `name` (per platform). Raises ECommsError with
// the component's messages; nothing is left open after a failure.
std::unique_ptr<PortDevice> OpenPortDevice(const std::string& name);

// What the owner and both worker threads share for one open port: owned
// jointly, so that a thread let go at the close keeps what it uses.
class PortLink {
 public:
  PortLink(std::unique_ptr<PortDevice> device, CommNotices notices)
      : device_(std::move(device)), notices_(std::move(notices)) {}

  PortDevice& Device() { return *device_; }
  const CommNotices& Notices() const { return notices_; }
  CommNotices& Notices() { return notices_; }
  SendQueue& Jobs() { return jobs_; }
  TransmitGate& Transmit() { return transmit_; }

  // The one failure path of both threads: refuses further jobs, stops both
  // threads and, unless the owner is closing the port anyway, tells the
  // owner once, with `error`.
  // Note: this function runs in the receive and transmit threads.
  void Fail(const PortError& error);
  // The close: stops both threads; failures from now on are the close's own.
  void Stop();
  bool Stopping() const { return stopping_.load(); }

 private:
  std::unique_ptr<PortDevice> device_;
  CommNotices notices_;
  SendQueue jobs_;
  TransmitGate transmit_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> failed_{false};
};

// The transmit thread's body, the same on every platform: takes the queued
// jobs in order and writes each completely; posts OnSendDataEmpty once at
// the start and once each time the queue runs empty after writes, each time
// only after the written bytes have left the driver.
// Note: this function runs in the transmit thread.
void RunTransmitter(PortLink& link);

// The error of a system call that failed, and the kind it means (per
// platform, for errno or GetLastError); `otherwise` for a code that says
// nothing about the device.
PortError SystemPortError(int code, PortErrorKind otherwise);

}  // namespace mx::serial

namespace mx {

// One open port and its two worker threads. Constructing it opens and
// configures the port named by the settings and starts the threads;
// destroying it stops the receive thread, then the transmit thread, and
// closes the port. Every member runs on the owner thread.
class TComm::Port {
 public:
  // Raises ECommsError with the component's messages; nothing is left open
  // after a failure. A setting the driver refuses does not make it fail: it
  // is kept in OpenError.
  Port(const Settings& settings, serial::CommNotices notices);
  ~Port();
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  // Queues a job for the transmit thread; false once that thread has ended.
  bool Send(serial::Bytes job);
  // Apply the device-control settings or the timeouts to the open port; the
  // driver's refusal as an error.
  PortError ApplyCommState(const Settings& settings);
  PortError ApplyCommTimeouts(const Settings& settings);
  // A setting that the driver refused at the open.
  const PortError& OpenError() const { return openError_; }

 private:
  std::shared_ptr<serial::PortLink> link_;
  serial::PortThreads threads_;
  PortError openError_;
};

}  // namespace mx
