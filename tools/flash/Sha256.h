#pragma once

// SHA-256 of some bytes, as lower-case hex, so that a record can say exactly
// which file a board received. One implementation per platform: OpenSSL's
// libcrypto (Sha256_posix.cpp), the system's CNG (Sha256_win.cpp).

#include <string>
#include <string_view>

namespace mx::flash {

std::string Sha256Hex(std::string_view bytes);

}  // namespace mx::flash
