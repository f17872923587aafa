#include "sim/PseudoTerminal.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <system_error>

namespace mx::sim {

namespace {

[[noreturn]] void ThrowErrno(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

// ptsname() returns a static buffer.
std::string SlaveNameOf(int master) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  const char* name = ptsname(master);
  if (!name) ThrowErrno("ptsname");
  return name;
}

// Raw bytes both ways and no flow control of the line's own: the host's
// XON/XOFF are the host's business, and every byte it writes reaches us.
// Termios calls on the master act on the slave, so this is the line's state
// until the host sets its own; the master's own side is raw from the start.
void MakeRaw(int master) {
  termios settings{};
  if (tcgetattr(master, &settings) != 0) ThrowErrno("tcgetattr");
  cfmakeraw(&settings);
  settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  if (tcsetattr(master, TCSANOW, &settings) != 0) ThrowErrno("tcsetattr");
}

void SetFlags(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) ThrowErrno("fcntl");
  if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) ThrowErrno("fcntl");
}

}  // namespace

PseudoTerminal::~PseudoTerminal() { Close(); }

void PseudoTerminal::Open() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0) ThrowErrno("posix_openpt");
  try {
    SetFlags(master_);
    if (grantpt(master_) != 0) ThrowErrno("grantpt");
    if (unlockpt(master_) != 0) ThrowErrno("unlockpt");
    slavePath_ = SlaveNameOf(master_);
    MakeRaw(master_);
  } catch (...) {
    Close();
    throw;
  }
}

void PseudoTerminal::Close() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

}  // namespace mx::sim
