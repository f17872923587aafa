#pragma once

// What the bootloader answered to the last command, or how the wait for its
// answer ended.

#include <cstdint>
#include <string_view>

namespace mx {

enum class Reply : std::uint8_t {
  None,           // nothing recognised (yet)
  WriteAccepted,  // a write frame was stored
  Refused,        // a write or erase frame was refused
  Version,        // the version reply
  EraseAccepted,  // the erase was done
  TimedOut,       // no reply within the time-out
  PortLost,       // the port vanished during the wait
  Closed,         // the port was closed during the wait (a stop): no reply can come
};

// The window's status word for a reply: "OK", "NO", "VerOK", "EraseOK", and
// "QUIT" for a wait that gave up (timed out, or its port vanished); empty
// for None.
constexpr std::string_view ReplyWord(Reply reply) {
  switch (reply) {
    case Reply::None:
      return "";
    case Reply::WriteAccepted:
      return "OK";
    case Reply::Refused:
      return "NO";
    case Reply::Version:
      return "VerOK";
    case Reply::EraseAccepted:
      return "EraseOK";
    case Reply::TimedOut:
    case Reply::PortLost:
    case Reply::Closed:
      return "QUIT";
  }
  return "";
}

// A wait that ended without an answer: the command failed.
constexpr bool GaveUp(Reply reply) {
  return reply == Reply::TimedOut || reply == Reply::PortLost || reply == Reply::Closed;
}

}  // namespace mx
