#include <windows.h>
// after windows.h, which defines its types
#include <cfgmgr32.h>
#include <initguid.h>
// after initguid.h: GUID_DEVCLASS_PORTS defined here, not only declared
#include <devguid.h>
#include <setupapi.h>

#include <algorithm>
#include <cwctype>
#include <string>

#include "ConnectorName.h"
#include "update/WidePath_win.h"

namespace mx::flash {

namespace {

// "COM7" from "\\.\COM7" or "com7", to compare with a port device's PortName.
std::wstring ComName(const std::string& devicePath) {
  std::wstring name = WideFromUtf8(devicePath);
  if (const auto slash = name.find_last_of(L"\\/"); slash != std::wstring::npos) name.erase(0, slash + 1);
  std::transform(name.begin(), name.end(), name.begin(), [](wchar_t c) { return std::towupper(c); });
  return name;
}

std::wstring PortNameOf(HDEVINFO devices, SP_DEVINFO_DATA& device) {
  const HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (key == INVALID_HANDLE_VALUE) return {};
  wchar_t buffer[256] = {};
  DWORD size = sizeof buffer - sizeof(wchar_t);
  DWORD type = 0;
  const bool read =
      RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) == ERROR_SUCCESS &&
      type == REG_SZ;
  RegCloseKey(key);
  if (!read) return {};
  std::wstring name(buffer);
  std::transform(name.begin(), name.end(), name.begin(), [](wchar_t c) { return std::towupper(c); });
  return name;
}

// The first of a device node's location paths; a USB adapter's port is a
// child of the USB device that has them, so the parents are asked too.
std::string LocationPathOf(DEVINST node) {
  constexpr int kMaxLevels = 4;
  for (int level = 0; level < kMaxLevels; ++level) {
    wchar_t paths[1024] = {};
    ULONG size = sizeof paths - 2 * sizeof(wchar_t);  // a multi-string ends in two zeros
    if (CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_LOCATION_PATHS, nullptr, paths, &size, 0) == CR_SUCCESS &&
        paths[0] != L'\0') {
      return Utf8FromWide(paths);  // the first string
    }
    DEVINST parent = 0;
    if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) break;
    node = parent;
  }
  return {};
}

}  // namespace

std::string ConnectorName(const std::string& devicePath, const std::string& portName) {
  const std::wstring wanted = ComName(devicePath);
  std::string location;
  const HDEVINFO devices = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
  if (devices == INVALID_HANDLE_VALUE) return portName;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD index = 0; location.empty() && SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
    if (PortNameOf(devices, device) == wanted) location = LocationPathOf(device.DevInst);
  }
  SetupDiDestroyDeviceInfoList(devices);
  return location.empty() ? portName : location;
}

}  // namespace mx::flash
