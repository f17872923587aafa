#pragma once

// The device actions: connect (greet the bootloader), update (erase and
// write an image, after the restore command when asked), erase, and the
// Update Wizard's catch of a device as it powers on. Each takes typed
// inputs, returns its outcome as facts and tells what happens meanwhile to
// an ActionEvents, for a caller that shows it. A front end sequences them;
// none of them knows a control, a caption or a language.
//
// Everything runs on the thread of the event loop given. Every wait handles
// that loop's events, so Stop() posted to the loop ends a wait at once.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "actions/ReceiveLog.h"
#include "protocol/DeviceSession.h"
#include "protocol/ReplyParser.h"
#include "serial/EventLoop.h"
#include "update/FirmwareImage.h"
#include "update/Transfer.h"

namespace mx {

using Seconds = std::chrono::duration<double>;

// What the actions tell while they run. Every call comes on the actions'
// thread; the defaults ignore it.
class ActionEvents {
 public:
  virtual ~ActionEvents() = default;
  // An entry the receive log took, in the order received.
  virtual void Logged(const LogEntry&) {}
  // A chunk held a version reply (the last one, after the chunk's entries).
  virtual void VersionReceived(const VersionReply&) {}
  // Whether the receive log takes frames besides versions and erase answers;
  // asked at every chunk (ReceiveLog).
  virtual bool LogsFrames() { return true; }
  // Whether a chunk is shown as it arrived instead of parsed (RawReceived).
  virtual bool TakesRaw() { return false; }
  virtual void RawReceived(std::span<const std::uint8_t>) {}
  // Whether a device's request to be greeted again is followed.
  virtual bool FollowsGreetingRestarts() { return true; }
  // A greeting starts again at the device's request; the port closes next.
  virtual void GreetingRestarts() {}
  // The version request of a greeting could not be queued: the port is not open.
  virtual void RequestNotQueued() {}
  // A greeting that failed, once for every greeting still under way (a
  // device that asked to be greeted again nests one greeting in another).
  virtual void GreetingFailed() {}
  virtual void WaitStarted() {}
  virtual void WaitEnded(Reply) {}
  virtual void Progressed(const TransferProgress&) {}
  // The port is open and the wait for the device to power on begins.
  virtual void PowerOnWaitStarted() {}
  // Whole seconds waited so far for the device to power on.
  virtual void PowerOnWaited(long) {}
  // The port vanished (an unplugged adapter); any wait has ended.
  virtual void PortLost() {}
};

// The port of an action and how it reads.
struct PortSettings {
  std::string devicePath;
  std::uint32_t readGapMs = 100;  // line silence that ends a received chunk
};

// Opens the port of an action for a front end whose controls follow the
// port: true to go on (the open has told any failure), false to stop.
using PortOpener = std::function<bool()>;

struct ConnectResult {
  enum class Ending {
    Connected,   // the bootloader answered the version request
    NoAnswer,    // no version reply within the time-out
    GaveUp,      // the device asked to be greeted again too often in a row
    PortLost,    // the port vanished during the greeting
    OpenFailed,  // the port would not open (openFailure says why)
    Stopped,     // Stop() ended it
  };
  Ending ending = Ending::NoAnswer;
  std::optional<ECommsError> openFailure;
  std::optional<VersionReply> version;
  int restarts = 0;  // greetings started again at the device's request
};

class DeviceActions final : private SessionOwner {
 public:
  // Restarts of the greeting in a row before a connect gives up.
  static constexpr int kMaxGreetingRestarts = 3;
  static constexpr char kBootloaderXon = '~';
  static constexpr char kBootloaderXoff = '}';
  // Every reply wait lasts at least this long once an erase has run.
  static constexpr Seconds kEraseReplyTimeout{5.0};

  DeviceActions(EventLoop& loop, ActionEvents& events);
  DeviceActions(const DeviceActions&) = delete;
  DeviceActions& operator=(const DeviceActions&) = delete;

  // Opens the port and greets the bootloader; on any ending but Connected
  // the port is closed again. `logFrames`: the receive log takes frames
  // (ReceiveLog), else only versions and erase answers.
  ConnectResult Connect(const PortSettings& port, Seconds replyTimeout, bool logFrames = true);
  // The same with the port opened by `openPort` for every greeting.
  ConnectResult Connect(const PortOpener& openPort, Seconds replyTimeout);
  // On a connection: erases and writes `image` (after the restore command
  // when `restore`), then closes the port once a written image's last frames
  // have left it.
  TransferOutcome Update(const FirmwareImage& image, bool restore, Seconds replyTimeout);
  // The steps of an update: the restore command (once the bootloader has
  // answered, or at once in test mode) with the quiet the device wants after
  // it, and the transfer as `plan` says; the port stays open.
  void SendRestore(bool testMode);
  TransferOutcome Transfer(const FirmwareImage& image, const TransferPlan& plan);
  // On a connection: the erase alone; the reply says how it went.
  Reply Erase(Seconds replyTimeout);
  // Opens the port and waits for the device's first frame as it powers on,
  // then asks for its version and closes the port. False when the port would
  // not open (openFailure says why), the wait was stopped or the port closed.
  bool CatchPowerOn(const PortSettings& port, std::optional<ECommsError>& openFailure);
  bool CatchPowerOn(const PortOpener& openPort);

  // Opens the port (raises ECommsError as TComm does).
  void OpenPort(const PortSettings& port);

  // Lets what is queued leave the port (DeviceSession::kDrainLimit at most)
  // and closes it.
  void Close() { session_.Close(); }
  // Ends what runs: the port closes at once (what is queued is dropped),
  // every wait ends, and no action opens the port again. Call it on the
  // actions' thread (post it to the loop).
  void Stop();
  bool Stopped() const { return stopped_; }

  bool IsOpen() const { return session_.IsOpen(); }
  const DeviceSession& Session() const { return session_; }
  const ReceiveLog& Log() const { return receiveLog_; }
  TComm& Port() { return session_.Port(); }

 private:
  bool Open(const PortSettings& port, std::optional<ECommsError>& failure);
  ConnectResult ConnectVia(const PortOpener& openPort, Seconds replyTimeout, bool logFrames);
  ConnectResult::Ending Greet(Seconds replyTimeout);
  bool AsksForRestart(ConnectResult::Ending ending);

  std::optional<ReceiveOptions> HowToReceive() override;
  void ChunkParsed(const ReceiveResult& result) override;
  void ChunkShownRaw(std::span<const std::uint8_t> chunk) override { events_.RawReceived(chunk); }
  void WaitStarted() override { events_.WaitStarted(); }
  void WaitEnded(Reply reply) override { events_.WaitEnded(reply); }
  void PortLost() override;

  ActionEvents& events_;
  DeviceSession session_;
  ReceiveLog receiveLog_;
  bool logFrames_ = true;
  bool wizardWaiting_ = false;
  bool frameSeenWhileWaiting_ = false;
  bool stopped_ = false;
};

// The device asks to be greeted again: it answered the version request with
// two frames in one burst (version 1.1, then 55 55 01 01 FE 04), and that
// burst is the first frame of the receive log. Only a receive log that
// logs frames shows it.
bool AsksToBeGreetedAgain(const ReceiveLog& log);

}  // namespace mx
