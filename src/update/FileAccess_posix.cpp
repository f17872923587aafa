// Reading a named file on POSIX. The file is opened without blocking, so
// that a FIFO without a writer cannot hold the program, and looked at before
// anything is read.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "update/FileAccess.h"

namespace mx {

namespace {

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int Get() const { return fd_; }

 private:
  int fd_;
};

FileContents Refused(std::string reason) { return {{}, std::move(reason)}; }

}  // namespace

FileContents ReadRegularFile(const std::string& path, std::uintmax_t maxBytes) {
  const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (file.Get() < 0) return Refused(std::strerror(errno));
  struct stat info {};
  if (::fstat(file.Get(), &info) != 0) return Refused(std::strerror(errno));
  if (!S_ISREG(info.st_mode)) return Refused(kNotARegularFile);
  if (static_cast<std::uintmax_t>(info.st_size) > maxBytes) return Refused(TooLargeReason(maxBytes));

  FileContents contents;
  contents.bytes.reserve(static_cast<std::size_t>(info.st_size));
  AdviseLargeBuffer(contents.bytes.data(), contents.bytes.capacity());
  char block[64 * 1024];
  for (;;) {
    const ssize_t got = ::read(file.Get(), block, sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return Refused(std::strerror(errno));
    if (got == 0) break;
    // A file that grows while it is read is held to the same bound.
    if (contents.bytes.size() + static_cast<std::size_t>(got) > maxBytes) return Refused(TooLargeReason(maxBytes));
    contents.bytes.append(block, static_cast<std::size_t>(got));
  }
  return contents;
}

#ifdef MADV_HUGEPAGE
void AdviseLargeBuffer(void* data, std::size_t size) {
  constexpr std::size_t kLargePage = std::size_t{2} << 20;
  if (size < kLargePage) return;  // no large page fits
  // Only whole pages inside the buffer: its neighbours are not ours to advise.
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto first = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t start = (first + page - 1) / page * page;
  const std::uintptr_t end = (first + size) / page * page;
  if (end > start) ::madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}
#else
void AdviseLargeBuffer(void*, std::size_t) {}
#endif

}  // namespace mx
