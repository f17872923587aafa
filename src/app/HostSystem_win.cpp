// The host on Windows: the module path, the registry's serial port list and
// the process snapshot.

#include <windows.h>
// after windows.h, which defines its types
#include <tlhelp32.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
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

bool TerminateProcessById(DWORD pid) {
  const Handle process(OpenProcess(PROCESS_ALL_ACCESS, TRUE, pid));
  return process.valid() && TerminateProcess(process.get(), 0) != FALSE;
}

bool CanOpenForWriting(const std::string& path, DWORD disposition, DWORD flags) {
  const Handle file(CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition, flags, nullptr));
  return file.valid();
}

}  // namespace

// ---- Internals ----------------------------------------------------------------

namespace host {

bool DirectoryTakesSettings(const std::string& directory) {
  const std::string probe =
      directory + "mx7410-probe-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount64());
  if (!CanOpenForWriting(probe, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE)) return false;
  const std::string settings = directory + kSettingsFileName;
  return GetFileAttributesW(WideFromUtf8(settings).c_str()) == INVALID_FILE_ATTRIBUTES ||
         CanOpenForWriting(settings, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
}

std::string ChooseSettingsDirectory(const std::string& candidate, const std::string& fallback) {
  if (DirectoryTakesSettings(candidate)) return candidate;
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(WideFromUtf8(fallback)), error);
  return fallback;
}

std::string UserConfigDirectory() {
  const wchar_t* appData = _wgetenv(L"APPDATA");
  if (appData == nullptr || *appData == L'\0') return ExecutableDirectory();
  return WithSeparator(Utf8FromWide(appData)) + "mx7410\\";
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
  const RegistryKey key(kSerialCommKey);
  if (key.get() == nullptr) return {};
  std::vector<std::string> ports;
  for (const std::string& name : ValueNames(key.get())) {
    std::string port;
    if (!ReadStringValue(key.get(), name, port)) return {};
    ports.push_back(port);
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
