#pragma once

// Text between the form (UTF-8) and the wide Win32 functions (UTF-16).

#include <string>
#include <string_view>

namespace mx {

std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);

// "hex Files|*.hex|All Files|*.*" as the open-file dialog wants it: the
// parts separated by NUL characters, ending in two.
std::wstring DialogFilter(std::string_view filter);

// A button caption with its '&' shown as is, not as a shortcut mark.
std::wstring PlainButtonCaption(std::string_view caption);

}  // namespace mx
