#pragma once

// The published name of a simulated port: a symlink in the port directory
// that the updater's port discovery lists, pointing at the pty's slave.

#include <string>

namespace mx::sim {

class PortLink {
 public:
  PortLink() = default;
  ~PortLink();
  PortLink(const PortLink&) = delete;
  PortLink& operator=(const PortLink&) = delete;

  // Creates `directory` (mode 0700) when missing and the link `name` ->
  // `target` in it. An empty name takes the first free "simN". A link left
  // dangling by a simulator that died is replaced. Throws std::runtime_error.
  void Create(const std::string& directory, const std::string& name, const std::string& target);
  // Removes the link if it still points at our target.
  void Remove();
  // Empty when nothing is published.
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  std::string target_;
};

}  // namespace mx::sim
