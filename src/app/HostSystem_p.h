#pragma once

// Internals of the host layer, visible to its tests. Not part of the
// program's interface.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/HostSystem.h"

namespace mx::host {

inline constexpr const char* kSettingsFileName = "Comport.ini";

// True when a new file can be created in `directory` (ending with a
// separator) and an existing settings file there can be written.
bool DirectoryTakesSettings(const std::string& directory);

// `candidate` when it takes the settings file, else `fallback`, created if
// need be; a fallback without a settings file starts from a writable copy
// of the candidate's. Both end with a separator.
std::string ChooseSettingsDirectory(const std::string& candidate, const std::string& fallback);

// The per-user configuration directory of this program, ending with a
// separator: $XDG_CONFIG_HOME/mx7410/ or ~/.config/mx7410/ on POSIX,
// %APPDATA%\mx7410\ on Windows.
std::string UserConfigDirectory();

// POSIX: the names among `devices` made of `prefix` and a decimal number
// ("ttyUSB12"), in numeric order.
std::vector<std::string> NumberedPorts(const std::vector<std::string>& devices, std::string_view prefix);

// POSIX: where port discovery looks: the host's own trees by default, a
// made-up tree in tests.
struct HostRoots {
  std::string dev = "/dev";
  std::string sys = "/sys";
};

// POSIX: a USB or ACM adapter found under /dev, and when its device node was
// made (nanoseconds since the epoch): the kernel makes it as the adapter
// appears, and nothing but a change of its owner or mode touches that time.
struct AppearedAdapter {
  std::string name;
  std::int64_t appearedAt = 0;
};

// POSIX: the adapters oldest first; adapters that appeared at the same time
// by kind (USB, then ACM) and number.
std::vector<std::string> AdaptersInOrderOfAppearance(std::vector<AppearedAdapter> adapters);

// POSIX: the ports under `roots` as ListSerialPortNames orders them, each
// with its name, device path and kind, then the simulator's ports published
// in `simulatorDirectory`. With `details`, also what sysfs and the stable
// links under /dev/serial tell of each adapter.
std::vector<SerialPortInfo> FindSerialPorts(const HostRoots& roots, const std::string& simulatorDirectory,
                                            bool details);

// POSIX: whether the simulator that published `link` lives: it holds a lock
// on "<link>.lock" for as long as it does.
bool SimulatorLinkIsLive(const std::string& link);

// Windows: the USB vendor:product ("0403:6001") and serial number in a
// device instance id such as "USB\VID_0403&PID_6001\A700ABCD"; empty
// fields where the id has none.
struct UsbIdentity {
  std::string usbId;
  std::string serialNumber;
};
UsbIdentity UsbIdentityFromInstanceId(std::string_view id);

// POSIX: the names a process shows under /proc.
struct ProcessNames {
  std::string executable;  // file name of /proc/<pid>/exe; empty when unreadable
};

// POSIX: whether a process is the program called `wanted`: its whole
// executable name, compared without regard to case. A Windows name
// "prog.exe" also matches the Linux "prog".
bool ProcessNameMatches(const std::string& wanted, const ProcessNames& names);

}  // namespace mx::host
