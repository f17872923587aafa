#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "Password.h"

namespace mx::flash {

std::optional<std::string> AskPasswordOnTerminal(const std::string& prompt) {
  // The terminal itself, not standard input: a script's pipe holds no password.
  const int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty < 0) return std::nullopt;
  termios saved{};
  if (::tcgetattr(tty, &saved) != 0) {
    ::close(tty);
    return std::nullopt;
  }
  termios silent = saved;
  silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  silent.c_lflag |= ECHONL;
  (void)!::write(tty, prompt.data(), prompt.size());
  ::tcsetattr(tty, TCSAFLUSH, &silent);
  std::string line;
  char c = 0;
  while (::read(tty, &c, 1) == 1 && c != '\n') line += c;
  ::tcsetattr(tty, TCSAFLUSH, &saved);
  ::close(tty);
  if (line.ends_with('\r')) line.pop_back();
  return line;
}

}  // namespace mx::flash
