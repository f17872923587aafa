#include "actions/DeviceActions.h"

#include <algorithm>
#include <array>
#include <thread>
#include <variant>

#include "protocol/Frames.h"
#include "protocol/Handshake.h"

namespace mx {

namespace {

// The burst of a device that wants to be greeted again: version 1.1, then
// 55 55 01 01 FE 04.
constexpr std::array<std::uint8_t, 14> kRestartBurst = {85, 85, 1, 0, 1, 1, 253, 4, 85, 85, 1, 1, 254, 4};

constexpr std::chrono::milliseconds kPowerOnPoll{250};
constexpr int kPollsPerSecond = 4;
// Pauses around the version request after a power-on: the device settles
// first, and the request must leave the port before it closes.
constexpr std::chrono::milliseconds kSettlePause{1000};
constexpr std::chrono::milliseconds kAfterRequestPause{50};
// The device wants this much quiet after the restore command.
constexpr std::chrono::milliseconds kRestorePause{50};

}  // namespace

bool AsksToBeGreetedAgain(const ReplyReceiver& receiver) {
  const std::optional<LogEntry>& first = receiver.FirstLoggedFrame();
  const LoggedFrame* frame = first ? std::get_if<LoggedFrame>(&*first) : nullptr;
  return frame != nullptr && frame->bytes.size() >= kRestartBurst.size() &&
         std::equal(kRestartBurst.begin(), kRestartBurst.end(), frame->bytes.begin());
}

DeviceActions::DeviceActions(EventLoop& loop, ActionEvents& events) : events_(events), session_(loop, *this) {
  // The bootloader's flow control characters; the rest are the serial
  // component's defaults (38400 baud, 8N1, XON/XOFF both ways).
  session_.Port().SetXonChar(kBootloaderXon);
  session_.Port().SetXoffChar(kBootloaderXoff);
}

void DeviceActions::Stop() {
  stopped_ = true;
  session_.CloseNow();  // what is queued would only delay the close
}

bool DeviceActions::Open(const PortSettings& port, std::optional<ECommsError>& failure) {
  if (stopped_) return false;
  try {
    session_.Port().SetReadIntervalTimeout(port.readGapMs);
    session_.Open(port.devicePath);
    return true;
  } catch (const ECommsError& error) {
    failure = error;
    session_.Close();
    return false;
  }
}

ConnectResult DeviceActions::Connect(const PortSettings& port, Seconds replyTimeout, bool logFrames) {
  ConnectResult result;
  receiveOptions_ = {logFrames, false};
  for (;;) {
    session_.ResetLog();
    if (!Open(port, result.openFailure)) {
      result.ending = stopped_ ? ConnectResult::Ending::Stopped : ConnectResult::Ending::OpenFailed;
      return result;
    }
    result.ending = Greet(replyTimeout);
    if (result.ending != ConnectResult::Ending::NoAnswer || !AsksToBeGreetedAgain(session_.Receiver())) break;
    if (result.restarts == kMaxGreetingRestarts) {
      result.ending = ConnectResult::Ending::GaveUp;
      events_.GreetingFailed();
      session_.Close();
      return result;
    }
    ++result.restarts;
    session_.Close();
  }
  if (result.ending == ConnectResult::Ending::Connected) return result;
  if (result.ending == ConnectResult::Ending::NoAnswer) {
    // The window reports the failure once for each greeting still on its stack.
    for (int level = 0; level <= result.restarts; ++level) events_.GreetingFailed();
  }
  session_.Close();
  return result;
}

ConnectResult::Ending DeviceActions::Greet(Seconds replyTimeout) {
  const Greeting greeting = GreetBootloader(session_, replyTimeout);
  if (!greeting.requestQueued) events_.RequestNotQueued();
  if (stopped_) return ConnectResult::Ending::Stopped;
  if (session_.Lost()) return ConnectResult::Ending::PortLost;
  if (session_.LastReply() != Reply::Version) return ConnectResult::Ending::NoAnswer;
  session_.Arm();
  return ConnectResult::Ending::Connected;
}

TransferOutcome DeviceActions::Update(const FirmwareImage& image, bool restore, Seconds replyTimeout) {
  if (restore && session_.BootloaderAnswered()) {
    session_.Send(kRestoreFrame);
    std::this_thread::sleep_for(kRestorePause);  // the window's pause handles no events either
  }
  TransferOutcome outcome = RunTransfer(session_, image, {false, false, replyTimeout},
                                        [this](const TransferProgress& progress) { events_.Progressed(progress); });
  if (stopped_ && outcome.ending != TransferOutcome::Ending::Written) outcome.ending = TransferOutcome::Ending::Stopped;
  if (session_.Lost()) outcome.ending = TransferOutcome::Ending::PortLost;
  if (outcome.ending == TransferOutcome::Ending::Written) session_.Close();
  return outcome;
}

Reply DeviceActions::Erase(Seconds replyTimeout) {
  const TransferOutcome outcome =
      RunTransfer(session_, FirmwareImage(std::vector<std::string>{}), {true, false, replyTimeout}, {});
  if (outcome.ending == TransferOutcome::Ending::NotAnswered) return Reply::None;
  return session_.LastReply();
}

bool DeviceActions::CatchPowerOn(const PortSettings& port, std::optional<ECommsError>& openFailure) {
  receiveOptions_ = {true, true};
  frameSeenWhileWaiting_ = false;
  if (!Open(port, openFailure)) return false;
  session_.Arm();
  session_.ResetLog();
  events_.PowerOnWaitStarted();
  long polls = 0;
  while (!frameSeenWhileWaiting_ && session_.IsOpen() && !session_.Lost()) {
    session_.HandleEventsUntil(Clock::now() + kPowerOnPoll);
    if (++polls % kPollsPerSecond == 0) events_.PowerOnWaited(polls / kPollsPerSecond);
  }
  receiveOptions_ = {true, false};
  if (!frameSeenWhileWaiting_ || stopped_) return false;
  // The settle pause ends early only for Stop().
  session_.HandleEventsUntil(Clock::now() + kSettlePause);
  if (stopped_) return false;
  session_.Send(kVersionFrame);
  std::this_thread::sleep_for(kAfterRequestPause);
  session_.Close();
  return !stopped_;
}

std::optional<ReceiveOptions> DeviceActions::HowToReceive() { return receiveOptions_; }

void DeviceActions::ChunkParsed(const ReceiveResult& result) {
  for (const LogEntry& entry : result.log) {
    if (std::holds_alternative<WizardFrameSeen>(entry)) frameSeenWhileWaiting_ = true;
    events_.Logged(entry);
  }
}

// As the window does: the port closes, then the loss is told.
void DeviceActions::PortLost() {
  session_.Close();
  events_.PortLost();
}

}  // namespace mx
