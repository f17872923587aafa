#include "sim/PortLink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "sim/SimulatedBootloader.h"

namespace mx::sim {

namespace {

constexpr int kMaxAutomaticNames = 1000;
constexpr std::string_view kLockSuffix = ".lock";

std::runtime_error Failure(const std::string& what) { return std::runtime_error(what + ": " + std::strerror(errno)); }

// The directory must be ours, so nobody else can plant names in it.
void EnsureDirectory(const std::string& directory) {
  std::error_code error;
  if (!std::filesystem::exists(directory, error)) {
    std::filesystem::create_directories(directory, error);
    if (error) throw std::runtime_error("cannot create " + directory + ": " + error.message());
    ::chmod(directory.c_str(), 0700);
  }
  struct stat info {};
  if (::stat(directory.c_str(), &info) != 0) throw Failure("cannot use " + directory);
  if (!S_ISDIR(info.st_mode)) throw std::runtime_error(directory + " is not a directory");
  if (info.st_uid != ::geteuid()) throw std::runtime_error(directory + " belongs to another user");
}

bool SameFile(int fd, const std::string& path) {
  struct stat open {};
  struct stat named {};
  return ::fstat(fd, &open) == 0 && ::lstat(path.c_str(), &named) == 0 && open.st_dev == named.st_dev &&
         open.st_ino == named.st_ino;
}

// The lock on `lockPath`, made if need be: its descriptor, or -1 when a
// live process holds it. A holder removes the file before it lets go, so a
// lock taken on a file that is no longer the one named is taken again.
int AcquireLock(const std::string& lockPath) {
  for (;;) {
    const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) throw Failure("cannot create " + lockPath);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
      const int cause = errno;
      ::close(fd);
      if (cause == EAGAIN || cause == EACCES) return -1;
      errno = cause;
      throw Failure("cannot lock " + lockPath);
    }
    if (SameFile(fd, lockPath)) return fd;
    ::close(fd);
  }
}

// Removes the lock file while still holding it, then lets go.
void ReleaseLock(int fd, const std::string& lockPath) {
  ::unlink(lockPath.c_str());
  ::close(fd);
}

bool IsSymlink(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

// The links of simulators that have ended: their locks are free.
void RemoveStaleLinks(const std::string& directory) {
  std::vector<std::string> lockPaths;
  std::error_code error;
  for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
    if (it->path().string().ends_with(kLockSuffix)) lockPaths.push_back(it->path().string());
  }
  for (const std::string& lockPath : lockPaths) {
    const int fd = AcquireLock(lockPath);
    if (fd < 0) continue;
    const std::string link = lockPath.substr(0, lockPath.size() - kLockSuffix.size());
    if (IsSymlink(link)) ::unlink(link.c_str());
    ReleaseLock(fd, lockPath);
  }
}

std::string ReadLink(const std::string& path) {
  char buffer[4096];
  const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

bool IsPlainName(const std::string& name) {
  return name != "." && name != ".." && name.find('/') == std::string::npos && !name.ends_with(kLockSuffix);
}

}  // namespace

std::string PortDirectoryFromEnvironment() {
  if (const char* dir = std::getenv("MX7410_PORT_DIR"); dir && *dir) return dir;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
    return (std::filesystem::path(runtime) / "mx7410").string();
  }
  return "/tmp/mx7410-" + std::to_string(::getuid());
}

PortLink::~PortLink() { Remove(); }

void PortLink::Create(const std::string& directory, const std::string& name, const std::string& target) {
  if (!path_.empty()) throw std::runtime_error("already published as " + path_);
  if (!IsPlainName(name)) throw std::runtime_error("not a plain file name: " + name);
  EnsureDirectory(directory);
  RemoveStaleLinks(directory);
  const std::filesystem::path dir(directory);
  if (!name.empty()) {
    const std::string path = (dir / name).string();
    if (!TryClaim(path, target)) throw std::runtime_error(path + " already exists");
    return;
  }
  for (int n = 0; n < kMaxAutomaticNames; ++n) {
    if (TryClaim((dir / ("sim" + std::to_string(n))).string(), target)) return;
  }
  throw std::runtime_error("no free simN name in " + directory);
}

// Takes the name when its lock is free: a link found there is then one that
// an ended simulator left, and is replaced.
bool PortLink::TryClaim(const std::string& path, const std::string& target) {
  const std::string lockPath = path + std::string(kLockSuffix);
  const int fd = AcquireLock(lockPath);
  if (fd < 0) return false;
  if (IsSymlink(path)) ::unlink(path.c_str());
  if (::symlink(target.c_str(), path.c_str()) != 0) {
    const int cause = errno;
    ReleaseLock(fd, lockPath);
    if (cause == EEXIST) return false;  // a file that is not a link
    errno = cause;
    throw Failure("cannot create " + path);
  }
  path_ = path;
  target_ = target;
  lockFd_ = fd;
  return true;
}

void PortLink::Remove() {
  if (path_.empty()) return;
  if (ReadLink(path_) == target_) ::unlink(path_.c_str());
  ReleaseLock(lockFd_, path_ + std::string(kLockSuffix));
  lockFd_ = -1;
  path_.clear();
}

}  // namespace mx::sim
