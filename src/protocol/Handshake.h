#pragma once

// The start of every connection: the text "re" and the version request,
// then the wait for the bootloader's version reply.

#include <chrono>

#include "protocol/DeviceSession.h"

namespace mx {

struct Greeting {
  bool requestQueued = false;  // the version request was queued (false: the port is not open)
  Reply reply = Reply::None;   // Reply::Version on success
};

// Greets the bootloader on `session` with a clean receive accumulator.
Greeting GreetBootloader(DeviceSession& session, std::chrono::duration<double> replyTimeout);

}  // namespace mx
