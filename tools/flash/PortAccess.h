#pragma once

// A hint for a port that could not be opened for lack of permission: on
// Linux, serial devices belong to a group (usually "dialout") that the user
// must be in. One probe per platform (PortAccess_posix.cpp, _win.cpp: no hint).

#include <optional>
#include <string>

namespace mx::flash {

// What the device file at a path allows this user.
struct DeviceAccess {
  bool exists = false;
  bool permitted = false;  // may be opened for reading and writing
  std::string group;       // the group that owns it, when known
};

DeviceAccess ProbeDeviceAccess(const std::string& devicePath);

// One line naming the group and how to join it, when the device exists and
// lacks permission; nothing otherwise.
std::optional<std::string> PermissionHint(const std::string& devicePath, const DeviceAccess& access);

}  // namespace mx::flash
