#pragma once

// The computer's name: a station's name in the records unless --station
// gives one. One implementation per platform (HostName_posix.cpp,
// HostName_win.cpp).

#include <string>

namespace mx::flash {

// The host name (UTF-8); "unknown" when the system gives none.
std::string HostName();

}  // namespace mx::flash
