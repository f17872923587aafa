#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "sim/SlaveWatch.h"

namespace mx::sim {

// Without a way to hear of opens, hold the slave open: the master then never
// sees the host's close as a hang-up. (A host that sets TIOCEXCL must clear
// it before it closes, or it cannot open the port again.)
SlaveWatch::SlaveWatch(const std::string& slavePath)
    : held_(::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
  if (held_ < 0) throw std::system_error(errno, std::generic_category(), "open " + slavePath);
}

SlaveWatch::~SlaveWatch() { ::close(held_); }

bool SlaveWatch::TakeOpened() { return false; }

}  // namespace mx::sim
