#pragma once

// What the updater asks of the host beside the serial port: where the
// program lives, which serial ports exist, and how to end running programs.
// One implementation per platform (HostSystem_posix.cpp, HostSystem_win.cpp).

#include <string>
#include <vector>

namespace mx {

// The directory of the running executable, ending with a path separator.
std::string ExecutableDirectory();

// The directory that holds the settings file: the executable's directory when
// a file can be written there, else the per-user configuration directory
// (created if need be). Ends with a path separator.
std::string SettingsDirectory();

// The host's serial port names in a stable order; the last is the automatic
// choice. On POSIX: the real serial ports under /dev, then the ports that a
// running simulator has published (SimulatorPortDirectory). On Windows: the
// registry's list, in enumeration order. Empty when there are none or the
// list cannot be read.
std::vector<std::string> ListSerialPortNames();

// Turns a listed port name into a name the serial component can open:
// "\\.\" + name on Windows; "/dev/" + name on POSIX, an absolute path as it is.
std::string PortDevicePath(const std::string& name);

// Where the simulated bootloader publishes its ports (POSIX): the directory
// named by MX7410_PORT_DIR when set, else $XDG_RUNTIME_DIR/mx7410, else
// /tmp/mx7410-<uid>.
std::string SimulatorPortDirectory();

// Ends every process (that the user may end) whose executable name equals
// `name` without regard to case; true if at least one was ended.
bool KillProcessByName(const std::string& name);

}  // namespace mx
