#pragma once

// Reading a whole file that the user named, safely: only a regular file is
// read, and only up to a bound, so that a FIFO, a device or a huge file is
// refused at once instead of blocking or filling the memory. One
// implementation per platform (FileAccess_posix.cpp, FileAccess_win.cpp).

#include <cstddef>
#include <cstdint>
#include <string>

namespace mx {

struct FileContents {
  std::string bytes;
  // Empty on success; otherwise the reason, as the system words it where it
  // has one ("No such file or directory").
  std::string error;
};

// The bytes of the regular file at `path` (UTF-8), at most `maxBytes` of them.
// Anything else (a directory, a FIFO, a device, a larger file) gives an error
// without being read. Throws std::bad_alloc when the memory runs out.
FileContents ReadRegularFile(const std::string& path, std::uintmax_t maxBytes);

// A hint that the `size` bytes at `data`, a buffer about to be filled, are
// best backed by large pages: a firmware file's many megabytes then cost a
// few page faults instead of one per 4 KiB. Ignored where unsupported.
void AdviseLargeBuffer(void* data, std::size_t size);

// The reasons of refusals that the system has no words for.
inline constexpr const char* kNotARegularFile = "Not a regular file";
inline std::string TooLargeReason(std::uintmax_t maxBytes) {
  return "Larger than " + std::to_string(maxBytes >> 20) + " MiB";
}

}  // namespace mx
