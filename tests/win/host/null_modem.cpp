// A null-modem cable between two pseudo-terminals, for the Windows port tests
// under Wine: whatever one side's program writes, the other side's program
// reads. Prints the two port paths on one line, then relays until it is
// ended by a signal.
//
// Built for the Linux side by scripts/test-windows.sh:
//   mx-null-modem            -> prints "/dev/pts/A /dev/pts/B"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct PtyEnd {
  int master = -1;
  int slave = -1;  // held open so that the master never sees a hang-up
  std::string path;
};

bool OpenPty(PtyEnd& end) {
  end.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (end.master < 0 || ::grantpt(end.master) != 0 || ::unlockpt(end.master) != 0) return false;
  end.path = ::ptsname(end.master);
  end.slave = ::open(end.path.c_str(), O_RDWR | O_NOCTTY);
  if (end.slave < 0) return false;
  termios raw{};
  if (::tcgetattr(end.slave, &raw) != 0) return false;
  ::cfmakeraw(&raw);
  return ::tcsetattr(end.slave, TCSANOW, &raw) == 0;
}

// Bytes read from one master and not yet written to the other.
struct Direction {
  int from;
  int to;
  std::vector<unsigned char> pending;
  std::size_t offset = 0;
};

bool Transfer(Direction& direction, short readyEvents, short writableEvents) {
  if (readyEvents & POLLIN) {
    unsigned char chunk[4096];
    const ssize_t count = ::read(direction.from, chunk, sizeof chunk);
    if (count < 0 && errno != EAGAIN && errno != EINTR) return false;
    if (count > 0) direction.pending.assign(chunk, chunk + count), direction.offset = 0;
  }
  if ((writableEvents & POLLOUT) && direction.offset < direction.pending.size()) {
    const ssize_t count =
        ::write(direction.to, direction.pending.data() + direction.offset, direction.pending.size() - direction.offset);
    if (count < 0 && errno != EAGAIN && errno != EINTR) return false;
    if (count > 0) direction.offset += static_cast<std::size_t>(count);
    if (direction.offset == direction.pending.size()) direction.pending.clear(), direction.offset = 0;
  }
  return true;
}

// Waits for what each direction can do next: read when it holds nothing,
// write when it holds bytes.
bool Relay(Direction& ab, Direction& ba) {
  for (;;) {
    pollfd fds[4] = {
        {ab.from, static_cast<short>(ab.pending.empty() ? POLLIN : 0), 0},
        {ab.to, static_cast<short>(ab.pending.empty() ? 0 : POLLOUT), 0},
        {ba.from, static_cast<short>(ba.pending.empty() ? POLLIN : 0), 0},
        {ba.to, static_cast<short>(ba.pending.empty() ? 0 : POLLOUT), 0},
    };
    if (::poll(fds, 4, -1) < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (!Transfer(ab, fds[0].revents, fds[1].revents) || !Transfer(ba, fds[2].revents, fds[3].revents)) return false;
  }
}

}  // namespace

int main() {
  PtyEnd a;
  PtyEnd b;
  if (!OpenPty(a) || !OpenPty(b)) {
    std::fprintf(stderr, "mx-null-modem: cannot open pseudo-terminals: %s\n", std::strerror(errno));
    return 1;
  }
  std::printf("%s %s\n", a.path.c_str(), b.path.c_str());
  std::fflush(stdout);
  Direction ab{a.master, b.master, {}};
  Direction ba{b.master, a.master, {}};
  return Relay(ab, ba) ? 0 : 1;
}
