#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "sim/SlaveWatch.h"

namespace mx::sim {

SlaveWatch::SlaveWatch(const std::string& slavePath) {
  fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "inotify_init1");
  if (inotify_add_watch(fd_, slavePath.c_str(), IN_OPEN) < 0) {
    const int error = errno;
    ::close(fd_);
    throw std::system_error(error, std::generic_category(), "inotify_add_watch " + slavePath);
  }
}

SlaveWatch::~SlaveWatch() { ::close(fd_); }

bool SlaveWatch::TakeOpened() {
  bool opened = false;
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n <= 0) return opened;  // EAGAIN: all read
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (event->mask & IN_OPEN) opened = true;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

}  // namespace mx::sim
