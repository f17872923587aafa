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

bool AsksToBeGreetedAgain(const ReceiveLog& log) {
  const std::optional<LogEntry>& first = log.FirstFrame();
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

void DeviceActions::OpenPort(const PortSettings& port) {
  session_.Port().SetReadIntervalTimeout(port.readGapMs);
  session_.Open(port.devicePath);
}

bool DeviceActions::Open(const PortSettings& port, std::optional<ECommsError>& failure) {
  if (stopped_) return false;
  try {
    OpenPort(port);
    return true;
  } catch (const ECommsError& error) {
    failure = error;
    session_.Close();
    return false;
  }
}

ConnectResult DeviceActions::Connect(const PortSettings& port, Seconds replyTimeout, bool logFrames) {
  std::optional<ECommsError> openFailure;
  ConnectResult result = ConnectVia([&] { return Open(port, openFailure); }, replyTimeout, logFrames);
  result.openFailure = openFailure;
  return result;
}

ConnectResult DeviceActions::Connect(const PortOpener& openPort, Seconds replyTimeout) {
  return ConnectVia(openPort, replyTimeout, true);
}

ConnectResult DeviceActions::ConnectVia(const PortOpener& openPort, Seconds replyTimeout, bool logFrames) {
  ConnectResult result;
  logFrames_ = logFrames;
  wizardWaiting_ = false;
  for (;;) {
    receiveLog_.Reset();
    if (!openPort()) {
      result.ending = stopped_ ? ConnectResult::Ending::Stopped : ConnectResult::Ending::OpenFailed;
      return result;
    }
    result.ending = Greet(replyTimeout);
    if (!AsksForRestart(result.ending)) break;
    if (result.restarts == kMaxGreetingRestarts) {
      result.ending = ConnectResult::Ending::GaveUp;
      events_.GreetingFailed();
      session_.Close();
      return result;
    }
    ++result.restarts;
    events_.GreetingRestarts();
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

// The request's burst begins with a version reply, so a greeting that got
// one may still be asked to start again; a lost port or a stop may not.
bool DeviceActions::AsksForRestart(ConnectResult::Ending ending) {
  const bool mayRestart = ending == ConnectResult::Ending::Connected || ending == ConnectResult::Ending::NoAnswer;
  return mayRestart && AsksToBeGreetedAgain(receiveLog_) && events_.FollowsGreetingRestarts();
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
  if (restore) SendRestore(false);
  TransferOutcome outcome = Transfer(image, {false, false, replyTimeout});
  if (outcome.ending == TransferOutcome::Ending::Written) session_.Close();
  return outcome;
}

void DeviceActions::SendRestore(bool testMode) {
  // The restore frame changes the device as the transfer does, so it too
  // waits for the bootloader's answer; without one the transfer says so.
  if (!testMode && !session_.BootloaderAnswered()) return;
  session_.Send(kRestoreFrame);
  std::this_thread::sleep_for(kRestorePause);  // the window's pause handles no events either
}

TransferOutcome DeviceActions::Transfer(const FirmwareImage& image, const TransferPlan& plan) {
  TransferOutcome outcome =
      RunTransfer(session_, image, plan, [this](const TransferProgress& progress) { events_.Progressed(progress); });
  if (stopped_ && outcome.ending != TransferOutcome::Ending::Written) outcome.ending = TransferOutcome::Ending::Stopped;
  if (session_.Lost()) outcome.ending = TransferOutcome::Ending::PortLost;
  return outcome;
}

Reply DeviceActions::Erase(Seconds replyTimeout) {
  const TransferOutcome outcome = Transfer(FirmwareImage(std::vector<std::string>{}), {true, false, replyTimeout});
  if (outcome.ending == TransferOutcome::Ending::NotAnswered) return Reply::None;
  return session_.LastReply();
}

bool DeviceActions::CatchPowerOn(const PortSettings& port, std::optional<ECommsError>& openFailure) {
  return CatchPowerOn([&] { return Open(port, openFailure); });
}

bool DeviceActions::CatchPowerOn(const PortOpener& openPort) {
  logFrames_ = true;
  wizardWaiting_ = true;
  frameSeenWhileWaiting_ = false;
  if (!openPort()) return false;
  session_.Arm();
  receiveLog_.Reset();
  events_.PowerOnWaitStarted();
  long polls = 0;
  while (!frameSeenWhileWaiting_ && session_.IsOpen() && !session_.Lost()) {
    session_.HandleEventsUntil(Clock::now() + kPowerOnPoll);
    if (++polls % kPollsPerSecond == 0) events_.PowerOnWaited(polls / kPollsPerSecond);
  }
  wizardWaiting_ = false;
  if (!frameSeenWhileWaiting_ || stopped_) return false;
  // The settle pause ends early only for Stop(); a port closed meanwhile
  // (the user disconnected) ends the catch.
  session_.HandleEventsUntil(Clock::now() + kSettlePause);
  if (stopped_ || !session_.IsOpen()) return false;
  session_.Send(kVersionFrame);
  std::this_thread::sleep_for(kAfterRequestPause);
  session_.Close();
  return !stopped_;
}

std::optional<ReceiveOptions> DeviceActions::HowToReceive() {
  if (events_.TakesRaw()) return std::nullopt;
  return ReceiveOptions{wizardWaiting_};
}

void DeviceActions::ChunkParsed(const ReceiveResult& result) {
  const std::vector<LogEntry> taken = receiveLog_.Take(result.log, logFrames_ && events_.LogsFrames());
  const VersionReply* version = nullptr;
  for (const LogEntry& entry : taken) {
    if (std::holds_alternative<WizardFrameSeen>(entry)) frameSeenWhileWaiting_ = true;
    events_.Logged(entry);
    if (const auto* reply = std::get_if<VersionReply>(&entry)) version = reply;
  }
  if (version) events_.VersionReceived(*version);
}

// As the window does: the port closes, then the loss is told.
void DeviceActions::PortLost() {
  session_.Close();
  events_.PortLost();
}

}  // namespace mx
