#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "StationLog.h"

namespace mx::flash {

struct StationLog::Impl {
  int fd = -1;
};

StationLog::StationLog(const std::string& path) : impl_(std::make_unique<Impl>()) {
  impl_->fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (impl_->fd < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
}

StationLog::~StationLog() { ::close(impl_->fd); }

bool StationLog::Append(const std::string& line) {
  const std::string text = line + '\n';
  // One write for the whole line: O_APPEND then keeps it whole beside other writers.
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t written = ::write(impl_->fd, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<std::size_t>(written);
  }
  return ::fsync(impl_->fd) == 0;
}

}  // namespace mx::flash
