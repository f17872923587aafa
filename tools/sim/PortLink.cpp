#include "sim/PortLink.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "sim/SimulatedBootloader.h"

namespace mx::sim {

namespace {

constexpr int kMaxAutomaticNames = 1000;

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

bool IsDanglingLink(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return false;
  return ::stat(path.c_str(), &info) != 0 && errno == ENOENT;
}

// True when the link was made; false when the name is taken.
bool TryLink(const std::string& target, const std::string& path) {
  if (::symlink(target.c_str(), path.c_str()) == 0) return true;
  if (errno != EEXIST) throw Failure("cannot create " + path);
  if (!IsDanglingLink(path)) return false;
  ::unlink(path.c_str());
  if (::symlink(target.c_str(), path.c_str()) == 0) return true;
  if (errno != EEXIST) throw Failure("cannot create " + path);
  return false;
}

std::string ReadLink(const std::string& path) {
  char buffer[4096];
  const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

bool IsPlainName(const std::string& name) { return name != "." && name != ".." && name.find('/') == std::string::npos; }

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
  const std::filesystem::path dir(directory);
  std::string path;
  if (!name.empty()) {
    path = (dir / name).string();
    if (!TryLink(target, path)) throw std::runtime_error(path + " already exists");
  } else {
    for (int n = 0; path.empty(); ++n) {
      if (n == kMaxAutomaticNames) throw std::runtime_error("no free simN name in " + directory);
      const std::string candidate = (dir / ("sim" + std::to_string(n))).string();
      if (TryLink(target, candidate)) path = candidate;
    }
  }
  path_ = path;
  target_ = target;
}

void PortLink::Remove() {
  if (path_.empty()) return;
  if (ReadLink(path_) == target_) ::unlink(path_.c_str());
  path_.clear();
}

}  // namespace mx::sim
