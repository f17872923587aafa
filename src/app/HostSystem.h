#pragma once

// What the updater asks of the host beside the serial port: where the
// program lives, which serial ports exist, and how to end running programs.
// One implementation per platform: on POSIX by subject (HostSettings_posix.cpp,
// HostPorts_posix.cpp, HostProcesses_posix.cpp), on Windows HostSystem_win.cpp.

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
// choice, so a newly plugged adapter is taken. On POSIX: the built-in UARTs
// that have hardware behind them (ttyS, by number), then the USB and ACM
// adapters in the order they appeared (the most recently attached last),
// then the ports that a running simulator has published
// (SimulatorPortDirectory; a link whose simulator has ended is not listed). On Windows: the registry's list, in
// enumeration order. Empty when there are none or the list cannot be read.
std::vector<std::string> ListSerialPortNames();

enum class PortKind { BuiltIn, Usb, Acm, Simulator };

// A listed port and what the host knows of it, for binding a fixture's slots
// to ports that survive re-plugging. Fields the host cannot tell are empty.
struct SerialPortInfo {
  std::string name;        // as ListSerialPortNames lists it
  std::string devicePath;  // what PortDevicePath makes of the name
  PortKind kind = PortKind::BuiltIn;
  std::string usbId;         // USB vendor:product, four hex digits each ("0403:6001")
  std::string serialNumber;  // the USB device's serial number
  std::string byId;          // Linux: the stable /dev/serial/by-id link
  std::string byPath;        // Linux: the stable /dev/serial/by-path link
  std::string description;   // maker and product (Linux), the friendly name (Windows)
};

// ListSerialPortNames with each port's details, in the same order.
std::vector<SerialPortInfo> DescribeSerialPorts();

// "built-in", "USB", "ACM", "simulator".
const char* PortKindName(PortKind kind);

// Turns a port name into a name the serial component can open: "\\.\" +
// name on Windows. On POSIX an absolute path as it is; a simulator's
// published name ("sim0") its link in SimulatorPortDirectory when /dev has
// no such device and the simulator lives; else "/dev/" + name.
std::string PortDevicePath(const std::string& name);

// Where the simulated bootloader publishes its ports (POSIX): the directory
// named by MX7410_PORT_DIR when set, else $XDG_RUNTIME_DIR/mx7410, else
// /tmp/mx7410-<uid>.
std::string SimulatorPortDirectory();

// Ends every process (that the user may end) whose executable name equals
// `name` without regard to case; true if at least one was ended.
bool KillProcessByName(const std::string& name);

}  // namespace mx
