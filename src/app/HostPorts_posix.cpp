// The serial ports on Linux: the built-in UARTs and adapters under /dev,
// what /sys and /dev/serial tell of them, and the ports that running
// simulators have published.

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string_view>

#include "app/HostSystem.h"
#include "app/HostSystem_p.h"
#include "app/HostSystem_posix_p.h"

namespace mx {
namespace fs = std::filesystem;
namespace posix = host::posix;

namespace {

// The number after `prefix` in names like "ttyUSB12"; nothing for other names.
std::optional<unsigned long> PortNumber(std::string_view name, std::string_view prefix) {
  if (!name.starts_with(prefix)) return std::nullopt;
  return posix::DecimalNumber(name.substr(prefix.size()));
}

// The UART type the driver reports, asked without waiting for carrier or
// making the port our controlling terminal.
std::optional<int> UartTypeFromDevice(const std::string& devicePath) {
  const int fd = ::open(devicePath.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  serial_struct info{};
  const bool known = ::ioctl(fd, TIOCGSERIAL, &info) == 0;
  ::close(fd);
  return known ? std::optional<int>(info.type) : std::nullopt;
}

std::string TtyClassDirectory(const host::HostRoots& roots, const std::string& name) {
  return roots.sys + "/class/tty/" + name;
}

// The kernel makes ttyS entries for every possible on-board UART; only those
// with a device behind them and a known UART type are real.
bool HasUartHardware(const host::HostRoots& roots, const std::string& name) {
  const std::string sysDirectory = TtyClassDirectory(roots, name);
  if (::access((sysDirectory + "/device").c_str(), F_OK) != 0) return false;
  std::optional<int> type;
  if (const auto text = posix::ReadFirstLine(sysDirectory + "/type")) {
    type = std::atoi(text->c_str());
  } else {
    type = UartTypeFromDevice(roots.dev + "/" + name);
  }
  return type && *type != PORT_UNKNOWN;
}

std::int64_t NodeChangeTime(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return 0;
  return static_cast<std::int64_t>(info.st_ctim.tv_sec) * 1'000'000'000 + info.st_ctim.tv_nsec;
}

// The USB device above a tty's device in sysfs: the first directory up the
// tree with a vendor id (the interface of an ACM port, or the usb-serial
// port and its interface, sit below it).
std::optional<fs::path> UsbDeviceOf(const host::HostRoots& roots, const std::string& name) {
  std::error_code error;
  fs::path directory = fs::canonical(TtyClassDirectory(roots, name) + "/device", error);
  if (error) return std::nullopt;
  constexpr int kMaxLevels = 4;
  for (int level = 0; level < kMaxLevels && directory.has_relative_path(); ++level) {
    if (fs::exists(directory / "idVendor", error)) return directory;
    directory = directory.parent_path();
  }
  return std::nullopt;
}

// The link in `directory` that leads to `devicePath`; empty when none does.
std::string StableLinkTo(const std::string& directory, const std::string& devicePath) {
  std::error_code error;
  const fs::path device = fs::canonical(devicePath, error);
  if (error) return {};
  std::vector<std::string> names = posix::DirectoryEntryNames(directory);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string link = directory + "/" + name;
    if (fs::canonical(link, error) == device && !error) return link;
  }
  return {};
}

void AddUsbDetails(const host::HostRoots& roots, SerialPortInfo& port) {
  port.byId = StableLinkTo(roots.dev + "/serial/by-id", port.devicePath);
  port.byPath = StableLinkTo(roots.dev + "/serial/by-path", port.devicePath);
  const std::optional<fs::path> usb = UsbDeviceOf(roots, port.name);
  if (!usb) return;
  auto attribute = [&](const char* file) { return posix::ReadFirstLine((*usb / file).string()).value_or(""); };
  const std::string vendor = attribute("idVendor");
  const std::string product = attribute("idProduct");
  if (!vendor.empty() && !product.empty()) port.usbId = vendor + ":" + product;
  port.serialNumber = attribute("serial");
  const std::string maker = attribute("manufacturer");
  const std::string model = attribute("product");
  port.description = maker.empty() || model.empty() ? maker + model : maker + " " + model;
}

// Symbolic links in `directory` whose target exists and whose simulator
// lives, as absolute paths sorted by name.
std::vector<std::string> PublishedSimulatorPorts(const std::string& directory) {
  std::error_code error;
  const fs::path base = fs::absolute(directory, error);
  if (error) return {};
  std::vector<std::string> names;
  for (const std::string& name : posix::DirectoryEntryNames(base.string())) {
    const fs::path link = base / name;
    if (fs::is_symlink(link, error) && fs::exists(link, error) && host::SimulatorLinkIsLive(link.string()))
      names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  std::vector<std::string> paths;
  for (const std::string& name : names) paths.push_back((base / name).lexically_normal().string());
  return paths;
}

}  // namespace

namespace host {

// A simulator holds an open file description lock on "<link>.lock" for as
// long as it publishes the link, and the system lets go of it when the
// simulator ends, however it ends. F_OFD_GETLK asks without taking it, so
// that a simulator starting meanwhile still gets it. A link without a held
// lock is a dead simulator's, and its pty may be a stranger's terminal now.
bool SimulatorLinkIsLive(const std::string& link) {
  const int fd = ::open((link + ".lock").c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  const bool held = ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
  ::close(fd);
  return held;
}

std::vector<std::string> NumberedPorts(const std::vector<std::string>& devices, std::string_view prefix) {
  std::vector<std::pair<unsigned long, std::string>> ports;
  for (const std::string& name : devices) {
    if (const auto number = PortNumber(name, prefix)) ports.emplace_back(*number, name);
  }
  std::sort(ports.begin(), ports.end());
  std::vector<std::string> names;
  for (auto& port : ports) names.push_back(std::move(port.second));
  return names;
}

std::vector<std::string> AdaptersInOrderOfAppearance(std::vector<AppearedAdapter> adapters) {
  // USB before ACM, then by number: the order NumberedPorts gives each kind.
  auto rank = [](const std::string& name) {
    const auto usb = PortNumber(name, "ttyUSB");
    return usb ? std::pair(0, *usb) : std::pair(1, PortNumber(name, "ttyACM").value_or(0));
  };
  std::stable_sort(adapters.begin(), adapters.end(), [&](const AppearedAdapter& a, const AppearedAdapter& b) {
    if (a.appearedAt != b.appearedAt) return a.appearedAt < b.appearedAt;
    return rank(a.name) < rank(b.name);
  });
  std::vector<std::string> names;
  for (AppearedAdapter& adapter : adapters) names.push_back(std::move(adapter.name));
  return names;
}

std::vector<SerialPortInfo> FindSerialPorts(const HostRoots& roots, const std::string& simulatorDirectory,
                                            bool details) {
  const std::vector<std::string> devices = posix::DirectoryEntryNames(roots.dev);
  std::vector<SerialPortInfo> ports;
  auto add = [&](std::string name, std::string path, PortKind kind) {
    SerialPortInfo& port = ports.emplace_back();
    port.name = std::move(name);
    port.devicePath = std::move(path);
    port.kind = kind;
  };
  for (std::string& name : NumberedPorts(devices, "ttyS")) {
    if (HasUartHardware(roots, name)) add(name, roots.dev + "/" + name, PortKind::BuiltIn);
  }
  std::vector<AppearedAdapter> adapters;
  for (const char* prefix : {"ttyUSB", "ttyACM"}) {
    for (std::string& name : NumberedPorts(devices, prefix)) {
      adapters.push_back({name, NodeChangeTime(roots.dev + "/" + name)});
    }
  }
  for (std::string& name : AdaptersInOrderOfAppearance(std::move(adapters))) {
    const PortKind kind = name.starts_with("ttyUSB") ? PortKind::Usb : PortKind::Acm;
    add(name, roots.dev + "/" + name, kind);
    if (details) AddUsbDetails(roots, ports.back());
  }
  for (std::string& path : PublishedSimulatorPorts(simulatorDirectory)) add(path, path, PortKind::Simulator);
  return ports;
}

}  // namespace host

std::vector<std::string> ListSerialPortNames() {
  std::vector<std::string> names;
  for (SerialPortInfo& port : host::FindSerialPorts({}, SimulatorPortDirectory(), false)) {
    names.push_back(std::move(port.name));
  }
  return names;
}

std::vector<SerialPortInfo> DescribeSerialPorts() { return host::FindSerialPorts({}, SimulatorPortDirectory(), true); }

std::string PortDevicePath(const std::string& name) {
  if (!name.empty() && name.front() == '/') return name;
  const std::string device = "/dev/" + name;
  if (name.empty() || name.find('/') != std::string::npos || ::access(device.c_str(), F_OK) == 0) return device;
  // A simulator's port by its published name, as its link is called.
  std::error_code error;
  const fs::path published = fs::path(SimulatorPortDirectory()) / name;
  if (fs::is_symlink(published, error) && host::SimulatorLinkIsLive(published.string()))
    return fs::absolute(published, error).lexically_normal().string();
  return device;
}

std::string SimulatorPortDirectory() {
  if (const auto directory = posix::Environment("MX7410_PORT_DIR")) return *directory;
  if (const auto runtime = posix::Environment("XDG_RUNTIME_DIR")) return posix::WithSeparator(*runtime) + "mx7410";
  return "/tmp/mx7410-" + std::to_string(::getuid());
}

}  // namespace mx
