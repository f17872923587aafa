#include "protocol/DeviceSession.h"

namespace mx {

DeviceSession::DeviceSession(EventLoop& loop, SessionOwner& owner) : loop_(loop), owner_(owner), comm_(loop) {
  comm_.OnReceiveData = [this](TComm&, const std::uint8_t* buffer, std::uint16_t length) {
    OnReceiveData(buffer, length);
  };
  comm_.OnRequestHangup = [this](TComm&) { OnRequestHangup(); };
}

DeviceSession::~DeviceSession() {
  comm_.OnReceiveData = nullptr;
  comm_.OnRequestHangup = nullptr;
  comm_.CloseComm();
}

void DeviceSession::Open(const std::string& devicePath) {
  lost_ = false;
  lossReason_ = {};
  bootloaderAnswered_ = false;
  comm_.SetCommName(devicePath);
  comm_.OpenComm();
}

void DeviceSession::Close() {
  if (!comm_.IsOpen()) return;
  // Closing discards what is still queued: let it go out first.
  lastCloseLostFrames_ = !Drain(kDrainLimit);
  comm_.CloseComm();
  bootloaderAnswered_ = false;
}

void DeviceSession::CloseNow() {
  if (!comm_.IsOpen()) return;
  lastCloseLostFrames_ = !comm_.AllSent();
  comm_.CloseComm();
  bootloaderAnswered_ = false;
}

bool DeviceSession::Send(std::span<const std::uint8_t> frame) {
  return comm_.SendData(frame.data(), static_cast<std::uint16_t>(frame.size()));
}

bool DeviceSession::Drain(std::chrono::milliseconds limit) {
  const Clock::time_point deadline = Clock::now() + limit;
  const InputHold hold(loop_);
  while (comm_.IsOpen() && !lost_ && !comm_.AllSent() && Clock::now() < deadline) loop_.WaitForEvents(deadline);
  return comm_.AllSent() && !lost_;
}

Reply DeviceSession::WaitForReply(std::chrono::duration<double> timeout) {
  owner_.WaitStarted();
  reply_ = Reply::None;
  const Clock::time_point deadline = DeadlineAfter(timeout);
  // A wait on a port that was never open lasts its time, as the window's
  // greeting of an unopened port does; a close during the wait ends it.
  const bool openedBefore = comm_.IsOpen();
  const auto closedMeanwhile = [&] { return openedBefore && !comm_.IsOpen(); };
  ++waitDepth_;
  loop_.ProcessPendingEvents();
  while (reply_ == Reply::None && !lost_ && !closedMeanwhile() && Clock::now() < deadline) {
    loop_.WaitForEvents(deadline);
  }
  --waitDepth_;
  if (reply_ == Reply::None) reply_ = lost_ ? Reply::PortLost : closedMeanwhile() ? Reply::Closed : Reply::TimedOut;
  owner_.WaitEnded(reply_);
  return reply_;
}

void DeviceSession::OnReceiveData(const std::uint8_t* buffer, std::uint16_t length) {
  reply_ = Reply::None;
  const std::optional<ReceiveOptions> options = owner_.HowToReceive();
  if (!options) return owner_.ChunkShownRaw({buffer, length});
  const ReceiveResult result = receiver_.Feed({buffer, length}, *options);
  if (result.reply) reply_ = *result.reply;
  if (reply_ == Reply::Version) bootloaderAnswered_ = true;
  owner_.ChunkParsed(result);
}

// Once per open; a notice that comes after the owner closed says nothing. A
// wait in progress ends first, so its waiting state is gone before the owner
// reports the loss.
void DeviceSession::OnRequestHangup() {
  if (lost_ || !comm_.IsOpen()) return;
  lost_ = true;
  lossReason_ = comm_.LastError();
  if (waitDepth_ > 0) owner_.WaitEnded(Reply::PortLost);
  owner_.PortLost();
}

}  // namespace mx
