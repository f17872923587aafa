// The host on Windows: the module path, the registry's serial port list and
// the process snapshot.

#include <windows.h>
// after windows.h, which defines its types
#include <tlhelp32.h>
// GUID_DEVCLASS_PORTS defined here, not only declared
#include <initguid.h>
// after initguid.h
#include <devguid.h>
#include <setupapi.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string_view>

#include "app/HostSystem.h"
#include "app/HostSystem_p.h"
#include "update/WidePath_win.h"

namespace mx {
namespace {

constexpr const char* kSerialCommKey = "hardware\\devicemap\\serialcomm";
constexpr DWORD kMaxValueNameLength = 16383;  // the registry's own limit

std::string WithSeparator(std::string directory) {
  if (directory.empty() || (directory.back() != '\\' && directory.back() != '/')) directory += '\\';
  return directory;
}

std::string UpperCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>((c >= 'a' && c <= 'z') ? c - ('a' - 'A') : c); });
  return text;
}

class RegistryKey {
 public:
  explicit RegistryKey(const char* subKey) {
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, KEY_READ, &key_) != ERROR_SUCCESS) key_ = nullptr;
  }
  ~RegistryKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (valid()) CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// The names of every value of `key`, in enumeration order.
std::vector<std::string> ValueNames(HKEY key) {
  std::vector<std::string> names;
  std::string name(kMaxValueNameLength + 1, '\0');
  for (DWORD index = 0;; ++index) {
    DWORD length = static_cast<DWORD>(name.size());
    const LONG status = RegEnumValueA(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) return {};
    names.emplace_back(name.data(), length);
  }
  return names;
}

// The string data of value `name`; false when it is missing or not a string.
bool ReadStringValue(HKEY key, const std::string& name, std::string& data) {
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ) {
    return false;
  }
  std::string bytes(size, '\0');
  if (RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(bytes.data()), &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  bytes.resize(std::min<std::size_t>(size, bytes.find('\0')));
  data = bytes;
  return true;
}

// A value of the serial port list: the driver's device name and the port name.
struct RegisteredPort {
  std::string device;  // e.g. \Device\Serial0, \Device\VCP0, \Device\USBSER000
  std::string name;    // e.g. COM5
};

// The registry's list in enumeration order; empty when it cannot be read.
std::vector<RegisteredPort> RegisteredPorts() {
  const RegistryKey key(kSerialCommKey);
  if (key.get() == nullptr) return {};
  std::vector<RegisteredPort> ports;
  for (const std::string& device : ValueNames(key.get())) {
    std::string name;
    if (!ReadStringValue(key.get(), device, name)) return {};
    ports.push_back({device, name});
  }
  return ports;
}

// The built-in UARTs' driver names its devices Serial0, Serial1, ...; the
// class driver of USB modems (ACM) USBSER000, ...; adapters' own drivers
// choose names of their own.
PortKind KindOfDevice(const std::string& device) {
  const std::string upper = UpperCase(device);
  if (upper.starts_with("\\DEVICE\\SERIAL")) return PortKind::BuiltIn;
  if (upper.find("USBSER") != std::string::npos) return PortKind::Acm;
  return PortKind::Usb;
}

std::string WideRegistryString(HKEY key, const wchar_t* name) {
  wchar_t buffer[256] = {};
  DWORD size = sizeof buffer - sizeof(wchar_t);
  DWORD type = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return {};
  }
  return Utf8FromWide(buffer);
}

std::string DeviceProperty(HDEVINFO devices, SP_DEVINFO_DATA& device, DWORD property) {
  wchar_t buffer[512] = {};
  if (!SetupDiGetDeviceRegistryPropertyW(devices, &device, property, nullptr, reinterpret_cast<BYTE*>(buffer),
                                         sizeof buffer - sizeof(wchar_t), nullptr)) {
    return {};
  }
  return Utf8FromWide(buffer);
}

std::string DeviceInstanceId(HDEVINFO devices, SP_DEVINFO_DATA& device) {
  wchar_t buffer[512] = {};
  if (!SetupDiGetDeviceInstanceIdW(devices, &device, buffer, 511, nullptr)) return {};
  return Utf8FromWide(buffer);
}

// What Windows' device manager shows of every present port, by port name.
std::map<std::string, SerialPortInfo> PortDeviceDetails() {
  std::map<std::string, SerialPortInfo> details;
  const HDEVINFO devices = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
  if (devices == INVALID_HANDLE_VALUE) return details;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
    const HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) continue;
    const std::string name = WideRegistryString(key, L"PortName");
    RegCloseKey(key);
    if (name.empty()) continue;
    const host::UsbIdentity usb = host::UsbIdentityFromInstanceId(DeviceInstanceId(devices, device));
    SerialPortInfo& port = details[UpperCase(name)];
    port.description = DeviceProperty(devices, device, SPDRP_FRIENDLYNAME);
    port.usbId = usb.usbId;
    port.serialNumber = usb.serialNumber;
  }
  SetupDiDestroyDeviceInfoList(devices);
  return details;
}

bool TerminateProcessById(DWORD pid) {
  const Handle process(OpenProcess(PROCESS_ALL_ACCESS, TRUE, pid));
  return process.valid() && TerminateProcess(process.get(), 0) != FALSE;
}

bool CanOpenForWriting(const std::string& path, DWORD disposition, DWORD flags) {
  const Handle file(CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition, flags, nullptr));
  return file.valid();
}

// The user's folder starts from the settings beside the program, so that
// none are lost when that file becomes unwritable; a copy already there is
// the user's own and stays. CopyFile keeps the read-only attribute: clear it.
void CopySettingsOnce(const std::string& from, const std::string& to) {
  const std::wstring copy = WideFromUtf8(to);
  if (!CopyFileW(WideFromUtf8(from).c_str(), copy.c_str(), TRUE)) return;
  const DWORD attributes = GetFileAttributesW(copy.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    SetFileAttributesW(copy.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  }
}

}  // namespace

// ---- Internals ----------------------------------------------------------------

namespace host {

bool DirectoryTakesSettings(const std::string& directory) {
  const std::string probe =
      directory + "mx7410-probe-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount64());
  if (!CanOpenForWriting(probe, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE)) return false;
  const std::string settings = directory + kSettingsFileName;
  const DWORD attributes = GetFileAttributesW(WideFromUtf8(settings).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  // Windows opens a read-only file for writing to no one; Wine running as
  // root would, so the attribute decides.
  if ((attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0) return false;
  return CanOpenForWriting(settings, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
}

std::string ChooseSettingsDirectory(const std::string& candidate, const std::string& fallback) {
  if (DirectoryTakesSettings(candidate)) return candidate;
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(WideFromUtf8(fallback)), error);
  CopySettingsOnce(candidate + kSettingsFileName, fallback + kSettingsFileName);
  return fallback;
}

std::string UserConfigDirectory() {
  const wchar_t* appData = _wgetenv(L"APPDATA");
  if (appData == nullptr || *appData == L'\0') return ExecutableDirectory();
  return WithSeparator(Utf8FromWide(appData)) + "mx7410\\";
}

UsbIdentity UsbIdentityFromInstanceId(std::string_view id) {
  UsbIdentity identity;
  const std::string upper = UpperCase(std::string(id));
  const std::size_t vid = upper.find("VID_");
  const std::size_t pid = upper.find("PID_");
  if (vid == std::string::npos || pid == std::string::npos || vid + 8 > upper.size() || pid + 8 > upper.size()) {
    return identity;
  }
  std::string hex = upper.substr(vid + 4, 4) + ":" + upper.substr(pid + 4, 4);
  std::transform(hex.begin(), hex.end(), hex.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  identity.usbId = hex;
  // USB\VID_x&PID_y\SERIAL; a generated instance (no serial number) has '&' in it.
  const std::size_t last = id.rfind('\\');
  if (upper.starts_with("USB\\") && last != std::string::npos && last > pid) {
    const std::string_view serial = id.substr(last + 1);
    if (!serial.empty() && serial.find('&') == std::string_view::npos) identity.serialNumber = serial;
  }
  return identity;
}

}  // namespace host

// ---- Interface ----------------------------------------------------------------

std::string ExecutableDirectory() {
  std::wstring wide(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, wide.data(), static_cast<DWORD>(wide.size()));
    if (length == 0) return ".\\";
    if (length < wide.size()) {
      wide.resize(length);
      break;
    }
    wide.resize(wide.size() * 2);
  }
  const std::string path = Utf8FromWide(wide);
  const std::size_t separator = path.find_last_of("\\/");
  return separator == std::string::npos ? ".\\" : path.substr(0, separator + 1);
}

std::string SettingsDirectory() {
  return host::ChooseSettingsDirectory(ExecutableDirectory(), host::UserConfigDirectory());
}

std::vector<std::string> ListSerialPortNames() {
  std::vector<std::string> names;
  for (RegisteredPort& port : RegisteredPorts()) names.push_back(std::move(port.name));
  return names;
}

std::vector<SerialPortInfo> DescribeSerialPorts() {
  std::map<std::string, SerialPortInfo> details = PortDeviceDetails();
  std::vector<SerialPortInfo> ports;
  for (RegisteredPort& registered : RegisteredPorts()) {
    SerialPortInfo port = details[UpperCase(registered.name)];
    port.kind = KindOfDevice(registered.device);
    port.devicePath = PortDevicePath(registered.name);
    port.name = std::move(registered.name);
    ports.push_back(std::move(port));
  }
  return ports;
}

std::string PortDevicePath(const std::string& name) { return "\\\\.\\" + name; }

std::string SimulatorPortDirectory() { return ""; }

bool KillProcessByName(const std::string& name) {
  const std::string wanted = UpperCase(name);
  const Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.valid()) return false;
  const DWORD self = GetCurrentProcessId();
  bool selfMatches = false;
  bool ended = false;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot.get(), &entry); more; more = Process32Next(snapshot.get(), &entry)) {
    if (UpperCase(entry.szExeFile) != wanted) continue;
    if (entry.th32ProcessID == self) {
      selfMatches = true;
      continue;
    }
    if (TerminateProcessById(entry.th32ProcessID)) ended = true;
  }
  // The calling process goes last, so that every other copy has been ended.
  if (selfMatches && TerminateProcessById(self)) ended = true;
  return ended;
}

}  // namespace mx
