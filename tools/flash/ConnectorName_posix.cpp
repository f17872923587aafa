#include "ConnectorName.h"

namespace mx::flash {

// udev names each USB serial port by the bus, hub and port it is plugged
// into; a built-in UART or a pseudo-terminal has no such link.
std::string ConnectorName(const std::string& devicePath, const std::string& portName) {
  const std::string link = LinkNameIn("/dev/serial/by-path", devicePath);
  return link.empty() ? portName : link;
}

}  // namespace mx::flash
