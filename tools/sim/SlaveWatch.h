#pragma once

// Tells the serving loop when the host opens the slave side again. After the
// host has closed it, the master reports a hang-up on every poll, so the loop
// stops polling the master until this watch sees a new open.
// SlaveWatch_linux.cpp watches the slave's device node with inotify;
// SlaveWatch_posix.cpp keeps the slave open itself, so the master never
// reports the hang-up there.

#include <string>

namespace mx::sim {

class SlaveWatch {
 public:
  // Throws std::system_error when the watch cannot be set up.
  explicit SlaveWatch(const std::string& slavePath);
  ~SlaveWatch();
  SlaveWatch(const SlaveWatch&) = delete;
  SlaveWatch& operator=(const SlaveWatch&) = delete;

  // Poll this for input; -1 when there is nothing to poll.
  int Fd() const { return fd_; }
  // Reads the pending notices; true when the slave was opened since the last call.
  bool TakeOpened();

 private:
  int fd_ = -1;    // the notices to poll
  int held_ = -1;  // the slave, where it is held open instead
};

}  // namespace mx::sim
