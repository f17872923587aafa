#pragma once

// `ports --long`: one line per port with what the host knows of it, so that
// a fixture's slots can be bound to ports that survive re-plugging.

#include <iosfwd>
#include <string>
#include <vector>

#include "app/HostSystem.h"

namespace mx::flash {

// Tab-separated: name, device path, kind, USB vendor:product, serial number,
// by-id link, by-path link, description; "-" for what is unknown. A tab or a
// line break inside a field (a description, say) becomes a space.
std::string LongPortLine(const SerialPortInfo& port);

// Prints every port's line; the exit status: kExitPortFailed with a note on
// `err` when no port is listed.
int PrintLongPortList(const std::vector<SerialPortInfo>& ports, std::ostream& out, std::ostream& err);

}  // namespace mx::flash
