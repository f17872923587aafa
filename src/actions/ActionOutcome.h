#pragma once

// How the window's last action ended, as one value, for front ends that
// report it rather than show it: the command line prints its results and
// chooses its exit status from this, never from the controls.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "protocol/ReplyParser.h"
#include "serial/SerialComm.h"
#include "update/Transfer.h"

namespace mx {

enum class ActionResult {
  None,          // nothing has ended yet
  Success,       // connected; image written (or a file without data: erased); erase accepted
  DeviceFailed,  // no answer, refused, handshake failed, time-out, port lost, last frames not sent
  FileRefused,   // the firmware file was refused or could not be read
  PortFailed,    // the port could not be opened
};

enum class Action { None, Connect, Update, Erase, Wizard };

struct ActionOutcome {
  Action action = Action::None;
  ActionResult result = ActionResult::None;
  // Why it failed, as the window said it (its message); empty on success.
  std::string reason;
  // The status lines the action ended with, as the window's labels show
  // them: "Time Out!" and "Program Stop Update!", "Finish Update! 1.25Sec.",
  // or the text for a file without data.
  std::vector<std::string> closingLines;
  // Once connected: the version reply.
  std::optional<VersionReply> version;
  // Update: how the transfer went, and its time up to the port's close.
  std::optional<TransferOutcome> transfer;
  std::optional<std::chrono::milliseconds> elapsed;
  // The run was stopped (Ctrl-C, a termination request) before it ended.
  bool interrupted = false;
  // The port's own failure, with the system's code: the device gone, an I/O
  // error, a setting the port refused.
  PortError portError;
};

// Starts the outcome of a new action. A connect starts without a version;
// the actions on a connection keep the version it found.
inline void BeginAction(ActionOutcome& outcome, Action action) {
  std::optional<VersionReply> version;
  if (action != Action::Connect) version = std::move(outcome.version);
  outcome = ActionOutcome{};
  outcome.action = action;
  outcome.version = std::move(version);
}

}  // namespace mx
