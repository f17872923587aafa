#pragma once

// The physical connector a port sits on, as a board's record names its slot:
// a name that stays when the system numbers its ports anew after a re-plug
// or a restart. One implementation per platform (ConnectorName_posix.cpp,
// ConnectorName_win.cpp); LinkNameIn is shared (ConnectorName.cpp).

#include <string>

namespace mx::flash {

// Linux: the name of the /dev/serial/by-path link to `devicePath`
// ("pci-0000:00:14.0-usb-0:2:1.0-port0"); Windows: the device's location
// path ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)"). Else (a simulator, no
// udev) `portName`.
std::string ConnectorName(const std::string& devicePath, const std::string& portName);

// The name of the first link (by name) in `folder` that leads where
// `devicePath` leads; empty when none does or the folder is not there.
std::string LinkNameIn(const std::string& folder, const std::string& devicePath);

}  // namespace mx::flash
