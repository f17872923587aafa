// The host on Linux: /proc for the executable and for processes, /dev and
// /sys for serial ports, the XDG directories for per-user files.

#include <fcntl.h>
#include <linux/serial.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string_view>

#include "app/HostSystem.h"
#include "app/HostSystem_p.h"

namespace mx {
namespace fs = std::filesystem;

namespace {

std::string WithSeparator(std::string directory) {
  if (directory.empty() || directory.back() != '/') directory += '/';
  return directory;
}

// An environment variable's value; nothing when unset or empty.
std::optional<std::string> Environment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

std::optional<std::string> ReadFirstLine(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  if (!file || !std::getline(file, line)) return std::nullopt;
  return line;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  auto lower = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

// ---- Serial ports -----------------------------------------------------------

std::vector<std::string> DirectoryEntryNames(const std::string& directory) {
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
    names.push_back(it->path().filename().string());
  }
  return names;
}

std::optional<unsigned long> DecimalNumber(std::string_view digits) {
  const bool decimal = !digits.empty() && digits.size() <= 9 &&
                       std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (!decimal) return std::nullopt;
  return std::stoul(std::string(digits));
}

// The number after `prefix` in names like "ttyUSB12"; nothing for other names.
std::optional<unsigned long> PortNumber(std::string_view name, std::string_view prefix) {
  if (!name.starts_with(prefix)) return std::nullopt;
  return DecimalNumber(name.substr(prefix.size()));
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
  if (const auto text = ReadFirstLine(sysDirectory + "/type")) {
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
  std::vector<std::string> names = DirectoryEntryNames(directory);
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
  auto attribute = [&](const char* file) { return ReadFirstLine((*usb / file).string()).value_or(""); };
  const std::string vendor = attribute("idVendor");
  const std::string product = attribute("idProduct");
  if (!vendor.empty() && !product.empty()) port.usbId = vendor + ":" + product;
  port.serialNumber = attribute("serial");
  const std::string maker = attribute("manufacturer");
  const std::string model = attribute("product");
  port.description = maker.empty() || model.empty() ? maker + model : maker + " " + model;
}

// Symbolic links in `directory` whose target exists, as absolute paths
// sorted by name.
std::vector<std::string> PublishedSimulatorPorts(const std::string& directory) {
  std::error_code error;
  const fs::path base = fs::absolute(directory, error);
  if (error) return {};
  std::vector<std::string> names;
  for (const std::string& name : DirectoryEntryNames(base.string())) {
    const fs::path link = base / name;
    if (fs::is_symlink(link, error) && fs::exists(link, error)) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  std::vector<std::string> paths;
  for (const std::string& name : names) paths.push_back((base / name).lexically_normal().string());
  return paths;
}

// ---- Processes --------------------------------------------------------------

constexpr std::string_view kDeletedSuffix = " (deleted)";

std::vector<pid_t> ProcessIds() {
  std::vector<pid_t> ids;
  for (const std::string& name : DirectoryEntryNames("/proc")) {
    if (const auto number = DecimalNumber(name)) ids.push_back(static_cast<pid_t>(*number));
  }
  return ids;
}

host::ProcessNames NamesOf(pid_t pid) {
  const std::string procDirectory = "/proc/" + std::to_string(pid);
  host::ProcessNames names;
  std::error_code error;
  const fs::path exe = fs::read_symlink(procDirectory + "/exe", error);
  if (!error) {
    names.executable = exe.filename().string();
    // An executable replaced while it runs shows as "name (deleted)".
    if (names.executable.ends_with(kDeletedSuffix)) {
      names.executable.resize(names.executable.size() - kDeletedSuffix.size());
    }
  }
  return names;
}

// A process that has ended but not been reaped yet cannot be ended again.
bool HasEnded(pid_t pid) {
  const std::string stat = ReadFirstLine("/proc/" + std::to_string(pid) + "/stat").value_or("");
  const std::size_t nameEnd = stat.rfind(')');
  if (nameEnd == std::string::npos || nameEnd + 2 >= stat.size()) return true;
  const char state = stat[nameEnd + 2];
  return state == 'Z' || state == 'X';
}

}  // namespace

// ---- Internals ----------------------------------------------------------------

namespace host {

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
  const std::vector<std::string> devices = DirectoryEntryNames(roots.dev);
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

bool DirectoryTakesSettings(const std::string& directory) {
  std::string probe = directory + ".mx7410-probe-XXXXXX";
  const int fd = ::mkstemp(probe.data());
  if (fd < 0) return false;
  ::close(fd);
  ::unlink(probe.c_str());
  const std::string settings = directory + kSettingsFileName;
  return ::access(settings.c_str(), F_OK) != 0 || ::access(settings.c_str(), R_OK | W_OK) == 0;
}

std::string ChooseSettingsDirectory(const std::string& candidate, const std::string& fallback) {
  if (DirectoryTakesSettings(candidate)) return candidate;
  std::error_code error;
  fs::create_directories(fallback, error);
  // The user's folder starts from the settings beside the program, so that
  // none are lost; a copy already there is the user's own and stays. The
  // copy takes the original's mode: let the user write it.
  const std::string copy = fallback + kSettingsFileName;
  if (fs::copy_file(candidate + kSettingsFileName, copy, fs::copy_options::skip_existing, error)) {
    fs::permissions(copy, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add, error);
  }
  return fallback;
}

std::string UserConfigDirectory() {
  if (const auto config = Environment("XDG_CONFIG_HOME"); config && config->front() == '/') {
    return WithSeparator(*config) + "mx7410/";
  }
  std::optional<std::string> home = Environment("HOME");
  if (!home) {
    const passwd* user = ::getpwuid(::getuid());
    if (user != nullptr && user->pw_dir != nullptr) home = user->pw_dir;
  }
  return WithSeparator(home.value_or("/tmp")) + ".config/mx7410/";
}

bool ProcessNameMatches(const std::string& wanted, const ProcessNames& names) {
  std::vector<std::string_view> candidates{wanted};
  constexpr std::string_view kWindowsSuffix = ".exe";
  if (wanted.size() > kWindowsSuffix.size() &&
      EqualsNoCase(std::string_view(wanted).substr(wanted.size() - kWindowsSuffix.size()), kWindowsSuffix)) {
    candidates.push_back(std::string_view(wanted).substr(0, wanted.size() - kWindowsSuffix.size()));
  }
  // Only the whole executable name counts. The kernel's command name is cut
  // to 15 characters, so it would also match every longer name that shares
  // them; and a process whose executable cannot be read is one this user may
  // not end, or one that is ending.
  if (names.executable.empty()) return false;
  return std::any_of(candidates.begin(), candidates.end(),
                     [&](std::string_view candidate) { return EqualsNoCase(names.executable, candidate); });
}

}  // namespace host

// ---- Interface ----------------------------------------------------------------

std::string ExecutableDirectory() {
  std::error_code error;
  const fs::path exe = fs::read_symlink("/proc/self/exe", error);
  if (error) return WithSeparator(fs::current_path(error).string());
  return WithSeparator(exe.parent_path().string());
}

std::string SettingsDirectory() {
  return host::ChooseSettingsDirectory(ExecutableDirectory(), host::UserConfigDirectory());
}

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
  if (fs::is_symlink(published, error)) return fs::absolute(published, error).lexically_normal().string();
  return device;
}

std::string SimulatorPortDirectory() {
  if (const auto directory = Environment("MX7410_PORT_DIR")) return *directory;
  if (const auto runtime = Environment("XDG_RUNTIME_DIR")) return WithSeparator(*runtime) + "mx7410";
  return "/tmp/mx7410-" + std::to_string(::getuid());
}

bool KillProcessByName(const std::string& name) {
  const pid_t self = ::getpid();
  bool selfMatches = false;
  bool ended = false;
  for (const pid_t pid : ProcessIds()) {
    if (HasEnded(pid) || !host::ProcessNameMatches(name, NamesOf(pid))) continue;
    if (pid == self) {
      selfMatches = true;
      continue;
    }
    // kill() refuses (EPERM) processes this user may not signal.
    if (::kill(pid, SIGKILL) == 0) ended = true;
  }
  // The calling process goes last, so that every other copy has been ended.
  if (selfMatches && ::kill(self, SIGKILL) == 0) ended = true;
  return ended;
}

}  // namespace mx
