#include <windows.h>

#include "HostName.h"
#include "update/WidePath_win.h"

namespace mx::flash {

std::string HostName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!::GetComputerNameW(name, &size) || size == 0) return "unknown";
  return Utf8FromWide(std::wstring(name, size));
}

}  // namespace mx::flash
