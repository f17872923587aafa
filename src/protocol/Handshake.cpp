#include "protocol/Handshake.h"

#include "protocol/Frames.h"

namespace mx {

Greeting GreetBootloader(DeviceSession& session, std::chrono::duration<double> replyTimeout) {
  Greeting greeting;
  session.Arm();
  session.Send(kWakeText);  // the device gives no sign of having read it
  greeting.requestQueued = session.Send(kVersionFrame);
  greeting.reply = session.WaitForReply(replyTimeout);
  return greeting;
}

}  // namespace mx
