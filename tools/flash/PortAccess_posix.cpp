#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "PortAccess.h"

namespace mx::flash {

DeviceAccess ProbeDeviceAccess(const std::string& devicePath) {
  DeviceAccess access;
  struct stat info {};
  if (::stat(devicePath.c_str(), &info) != 0) return access;
  access.exists = true;
  access.permitted = ::access(devicePath.c_str(), R_OK | W_OK) == 0 || errno != EACCES;
  if (const group* owner = ::getgrgid(info.st_gid)) access.group = owner->gr_name;
  return access;
}

std::optional<std::string> PermissionHint(const std::string& devicePath, const DeviceAccess& access) {
  if (!access.exists || access.permitted) return std::nullopt;
  if (access.group.empty()) return "no permission to use " + devicePath + "; ask for access to it";
  return devicePath + " belongs to the group \"" + access.group + "\", which you are not in; join it with " +
         "'sudo usermod -aG " + access.group + " $USER', then log in again";
}

}  // namespace mx::flash
