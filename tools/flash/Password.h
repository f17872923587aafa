#pragma once

// Asking for a secret key's password on the terminal, without echo. One
// implementation per platform: termios on /dev/tty (Password_posix.cpp), the
// console's input mode on CONIN$ (Password_win.cpp).

#include <optional>
#include <string>

namespace mx::flash {

// Shows `prompt` on the terminal and reads one line there, not shown as it is
// typed; nullopt when there is no terminal to ask on.
std::optional<std::string> AskPasswordOnTerminal(const std::string& prompt);

}  // namespace mx::flash
