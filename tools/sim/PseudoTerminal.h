#pragma once

// The device's end of a pseudo-terminal pair: the master side, in raw mode
// and non-blocking. The host opens the slave side by its path.

#include <string>

namespace mx::sim {

class PseudoTerminal {
 public:
  PseudoTerminal() = default;
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  // Throws std::system_error when no pseudo-terminal can be had.
  void Open();
  void Close();

  int MasterFd() const { return master_; }
  // e.g. /dev/pts/7; kept after Close.
  const std::string& SlavePath() const { return slavePath_; }

 private:
  int master_ = -1;
  std::string slavePath_;
};

}  // namespace mx::sim
