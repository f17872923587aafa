#pragma once

// The start of every connection: the text "re" and the version request,
// then the wait for the bootloader's version reply.

#include <chrono>
#include <cstddef>
#include <string_view>

#include "protocol/DeviceSession.h"

namespace mx {

struct Greeting {
  bool requestQueued = false;  // the version request was queued (false: the port is not open)
  Reply reply = Reply::None;   // Reply::Version on success
};

// Greets the bootloader on `session` with a clean receive accumulator.
Greeting GreetBootloader(DeviceSession& session, std::chrono::duration<double> replyTimeout);

// The receive log of a device that answers the version request with two
// frames in one burst (version 1.1, then 55 55 01 01 FE 04): a sign that it
// has to be greeted again.
inline constexpr std::string_view kRestartPattern = "85,85,1,0,1,1,253,4,85,85,1,1,254,4,";

// Whether the first receive log line holds the restart pattern at
// `bytesStart`, where a line written with the usual prefix has its bytes.
bool AsksToBeGreetedAgain(std::string_view firstLogLine, std::size_t bytesStart);

}  // namespace mx
