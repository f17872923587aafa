// The by-path links udev makes for USB serial ports, in a folder of links
// made here as udev would.

#include <gtest/gtest.h>

#include <filesystem>

#include "ConnectorName.h"
#include "support/TempDir.h"

namespace mx::flash {
namespace {

namespace fs = std::filesystem;

TEST(ConnectorName, IsTheNameOfTheLinkThatLeadsToThePort) {
  const test::TempDir dev;
  const fs::path byPath = dev.Path() / "serial" / "by-path";
  fs::create_directories(byPath);
  const fs::path first = dev.Write("ttyUSB0", "");
  const fs::path second = dev.Write("ttyUSB1", "");
  // Relative links, as udev makes them; two for one port: the first by name counts.
  fs::create_symlink("../../ttyUSB0", byPath / "pci-0000:00:14.0-usb-0:2:1.0-port0");
  fs::create_symlink("../../ttyUSB1", byPath / "pci-0000:00:14.0-usbv2-0:3:1.0-port0");
  fs::create_symlink("../../ttyUSB1", byPath / "pci-0000:00:14.0-usb-0:3:1.0-port0");
  fs::create_symlink("../../gone", byPath / "pci-0000:00:14.0-usb-0:4:1.0-port0");

  EXPECT_EQ(LinkNameIn(byPath.string(), first.string()), "pci-0000:00:14.0-usb-0:2:1.0-port0");
  EXPECT_EQ(LinkNameIn(byPath.string(), second.string()), "pci-0000:00:14.0-usb-0:3:1.0-port0");
  // The port as the run named it, through a link of its own.
  fs::create_symlink(second, dev.Path() / "station-slot");
  EXPECT_EQ(LinkNameIn(byPath.string(), (dev.Path() / "station-slot").string()), "pci-0000:00:14.0-usb-0:3:1.0-port0");
  EXPECT_EQ(LinkNameIn(byPath.string(), dev.Write("ttyACM0", "").string()), "");
}

}  // namespace
}  // namespace mx::flash
