#pragma once

// The published name of a simulated port: a symlink in the port directory
// that the updater's port discovery lists, pointing at the pty's slave.
//
// A link outlives a simulator that is killed, and the pty's number goes to
// the next terminal that opens one. So the simulator holds a lock on a file
// beside its link, "<name>.lock", for as long as it publishes: an open file
// description lock (F_OFD_SETLK) that the system releases when the process
// ends, however it ends. Port discovery lists a link only while its lock is
// held (F_OFD_GETLK), and a simulator that finds a link whose lock nobody
// holds removes it.

#include <string>

namespace mx::sim {

class PortLink {
 public:
  PortLink() = default;
  ~PortLink();
  PortLink(const PortLink&) = delete;
  PortLink& operator=(const PortLink&) = delete;

  // Creates `directory` (mode 0700) when missing, removes the links there
  // whose simulator has ended, and makes the link `name` -> `target` with
  // its lock held. An empty name takes the first free "simN"; a name held by
  // a live simulator, or taken by something else than a link, is refused.
  // Throws std::runtime_error.
  void Create(const std::string& directory, const std::string& name, const std::string& target);
  // Removes the link if it still points at our target, and the lock.
  void Remove();
  // Empty when nothing is published.
  const std::string& Path() const { return path_; }

 private:
  bool TryClaim(const std::string& path, const std::string& target);

  std::string path_;
  std::string target_;
  int lockFd_ = -1;  // holds the lock on path_ + ".lock" while published
};

}  // namespace mx::sim
