#include "PortAccess.h"

namespace mx::flash {

// Windows has no device groups to join: a port that will not open is in use
// or absent, which the updater's own message says.
DeviceAccess ProbeDeviceAccess(const std::string&) { return {}; }

std::optional<std::string> PermissionHint(const std::string&, const DeviceAccess&) { return std::nullopt; }

}  // namespace mx::flash
