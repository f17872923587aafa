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
std::optional<int> UartTypeFromDevice(const std::string& name) {
  const int fd = ::open(("/dev/" + name).c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  serial_struct info{};
  const bool known = ::ioctl(fd, TIOCGSERIAL, &info) == 0;
  ::close(fd);
  return known ? std::optional<int>(info.type) : std::nullopt;
}

// The kernel makes ttyS entries for every possible on-board UART; only those
// with a device behind them and a known UART type are real.
bool HasUartHardware(const std::string& name) {
  const std::string sysDirectory = "/sys/class/tty/" + name;
  if (::access((sysDirectory + "/device").c_str(), F_OK) != 0) return false;
  std::optional<int> type;
  if (const auto text = ReadFirstLine(sysDirectory + "/type")) {
    type = std::atoi(text->c_str());
  } else {
    type = UartTypeFromDevice(name);
  }
  return type && *type != PORT_UNKNOWN;
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
  const std::vector<std::string> devices = DirectoryEntryNames("/dev");
  std::vector<std::string> ports = host::NumberedPorts(devices, "ttyUSB");
  for (std::string& name : host::NumberedPorts(devices, "ttyACM")) ports.push_back(std::move(name));
  for (std::string& name : host::NumberedPorts(devices, "ttyS")) {
    if (HasUartHardware(name)) ports.push_back(std::move(name));
  }
  for (std::string& path : PublishedSimulatorPorts(SimulatorPortDirectory())) ports.push_back(std::move(path));
  return ports;
}

std::string PortDevicePath(const std::string& name) {
  if (!name.empty() && name.front() == '/') return name;
  return "/dev/" + name;
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
