#pragma once

// One connection to the Mx7410 bootloader over a serial port, on the owner's
// thread: it opens and closes the port, sends frames, turns what arrives
// into replies, and waits for a reply in the owner's event loop. Every wait
// handles the owner's events, so other handlers can run inside it.

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "protocol/Reply.h"
#include "protocol/ReplyParser.h"
#include "serial/EventLoop.h"
#include "serial/SerialComm.h"

namespace mx {

// What the session asks and tells its owner. Every call comes on the owner's
// thread, from inside the owner's event handling.
class SessionOwner {
 public:
  virtual ~SessionOwner() = default;
  // How to take the chunk that has just arrived; nothing: it is not parsed
  // at all but passed to ChunkShownRaw.
  virtual std::optional<ReceiveOptions> HowToReceive() = 0;
  // What the parser made of a chunk.
  virtual void ChunkParsed(const ReceiveResult& result) = 0;
  // A chunk taken raw; valid during the call only.
  virtual void ChunkShownRaw(std::span<const std::uint8_t> chunk) = 0;
  // A wait for a reply begins, and ends with `reply`.
  virtual void WaitStarted() = 0;
  virtual void WaitEnded(Reply reply) = 0;
  // The port vanished (an unplugged adapter); any wait has ended.
  virtual void PortLost() = 0;
};

class DeviceSession {
 public:
  // How long a close waits for queued frames to leave the port.
  static constexpr std::chrono::milliseconds kDrainLimit{1000};

  DeviceSession(EventLoop& loop, SessionOwner& owner);
  ~DeviceSession();
  DeviceSession(const DeviceSession&) = delete;
  DeviceSession& operator=(const DeviceSession&) = delete;

  // The serial component, for its settings; opened and closed only here.
  TComm& Port() { return comm_; }
  const TComm& Port() const { return comm_; }

  // Opens the port at `devicePath` (raises ECommsError as TComm does). Every
  // open starts clean: not lost, the bootloader not yet heard.
  void Open(const std::string& devicePath);
  // Lets what is queued leave the port, for at most kDrainLimit while it is
  // alive, then closes it (within TComm::CloseComm's own bound). Does
  // nothing when closed. Only the port's own
  // notices run meanwhile: the user's input waits until the port is closed.
  void Close();
  // Closes at once, discarding what is queued: for a run that was stopped.
  void CloseNow();
  bool IsOpen() const { return comm_.IsOpen(); }
  // The last close had to discard frames that had not left the port.
  bool LastCloseLostFrames() const { return lastCloseLostFrames_; }
  // The port vanished since it was opened.
  bool Lost() const { return lost_; }
  // Why it vanished: the kind and the system's error (PortErrorKindName
  // names the kind); kind None while not lost. Cleared by Open.
  const PortError& LossReason() const { return lossReason_; }
  // The bootloader has answered the version request since the port was
  // opened: only then may frames that change the device's memory go out.
  bool BootloaderAnswered() const { return bootloaderAnswered_; }

  // Queues a whole frame; false when the port is closed or its transmit side
  // has ended. The result says nothing about the line.
  bool Send(std::span<const std::uint8_t> frame);
  // Waits, handling only the port's notices, until everything queued has
  // left the port, at most `limit`. True when it has.
  bool Drain(std::chrono::milliseconds limit);

  // Empties the receive accumulator and starts collecting (ArmReceiver).
  void Arm() { receiver_.Arm(); }
  const ReplyReceiver& Receiver() const { return receiver_; }

  // Clears the reply, then handles events until a reply is recognised, the
  // port vanishes or is closed, or `timeout` passes (events already pending are handled
  // even with no time at all). Every received chunk clears the reply first,
  // so a later chunk can take back a reply recognised in the same round.
  Reply WaitForReply(std::chrono::duration<double> timeout);
  // The last reply, or how the last wait ended; cleared by every chunk.
  Reply LastReply() const { return reply_; }

  // Handles the owner's pending events without waiting.
  void HandlePendingEvents() { loop_.ProcessPendingEvents(); }
  // Handles events, sleeping in between, until `deadline`.
  void HandleEventsUntil(Clock::time_point deadline) { loop_.RunUntil(deadline); }

 private:
  void OnReceiveData(const std::uint8_t* buffer, std::uint16_t length);
  void OnRequestHangup();

  EventLoop& loop_;
  SessionOwner& owner_;
  TComm comm_;
  ReplyReceiver receiver_;
  Reply reply_ = Reply::None;
  bool lost_ = false;
  PortError lossReason_;
  bool bootloaderAnswered_ = false;
  bool lastCloseLostFrames_ = false;
  int waitDepth_ = 0;  // reply waits in progress (a handler inside a wait may wait too)
};

}  // namespace mx
