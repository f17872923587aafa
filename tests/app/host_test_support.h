#pragma once

// Helpers of the host-layer tests: scratch directories, environment
// variables that are put back, file bytes, checks run as an ordinary user
// (permission bits do not stop root), and simulators' published links.

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>

namespace mx::test {

// A scratch directory that everyone may enter, removed with its contents.
class ScratchDirectory {
 public:
  ScratchDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "mx7410-host-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    std::filesystem::permissions(path_, std::filesystem::perms(0755));
  }
  ~ScratchDirectory() {
    // Give write access back everywhere, so that everything can be removed.
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(path_, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
      if (it->is_symlink(error)) continue;
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                   error);
    }
    std::filesystem::remove_all(path_, error);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  // The directory, without a trailing separator.
  std::string Path() const { return path_.string(); }
  // A path inside it.
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

  // A new subdirectory with the given permission bits.
  std::string MakeDirectory(const std::string& name, unsigned mode) const {
    const std::filesystem::path directory = path_ / name;
    std::filesystem::create_directory(directory);
    std::filesystem::permissions(directory, std::filesystem::perms(mode));
    return directory.string();
  }

 private:
  std::filesystem::path path_;
};

// Sets (or, given nothing, unsets) an environment variable for one scope.
class ScopedEnvironment {
 public:
  ScopedEnvironment(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    Apply(value);
  }
  ~ScopedEnvironment() { Apply(old_); }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  void Apply(const std::optional<std::string>& value) {
    if (value) {
      ::setenv(name_.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  std::string name_;
  std::optional<std::string> old_;
};

inline std::optional<std::string> ReadBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << bytes;
}

// A test case name made of the letters and digits of a description:
// "first write creates the file" -> "FirstWriteCreatesTheFile".
inline std::string CaseName(const std::string& description) {
  std::string name;
  bool wordStart = true;
  for (const char c : description) {
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum) {
      wordStart = true;
      continue;
    }
    name += (wordStart && c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    wordStart = false;
  }
  return name;
}

// Runs `check` in a child process that has no privileges beyond an ordinary
// user's (root drops to the unprivileged uid 65534 there) and returns its
// result. The child must not use test assertions.
inline bool RunAsOrdinaryUser(const std::function<bool()>& check) {
  constexpr uid_t kUnprivileged = 65534;
  const pid_t child = ::fork();
  if (child == 0) {
    if (::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(kUnprivileged) != 0 || ::setuid(kUnprivileged) != 0)) {
      ::_exit(2);
    }
    ::_exit(check() ? 0 : 1);
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Takes the lock a simulator holds beside its published link while it
// lives ("<link>.lock", an open file description lock); -1 when it cannot.
inline int TakeSimulatorLock(const std::string& link) {
  const int fd = ::open((link + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (fd >= 0 && ::fcntl(fd, F_OFD_SETLK, &lock) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

// A simulator's published link, made as the simulator makes it: the link
// to `target`, and its lock held by a child process until Kill() ends that
// with SIGKILL, as a simulator killed mid-run.
class PublishingProcess {
 public:
  PublishingProcess(const std::string& target, const std::string& link) {
    std::filesystem::create_symlink(target, link);
    int ready[2];
    if (::pipe(ready) != 0) throw std::runtime_error("pipe failed");
    pid_ = ::fork();
    if (pid_ == 0) {
      const char held = TakeSimulatorLock(link) >= 0 ? 'y' : 'n';
      (void)!::write(ready[1], &held, 1);
      for (;;) ::pause();
    }
    ::close(ready[1]);
    char held = 'n';
    const bool told = ::read(ready[0], &held, 1) == 1;
    ::close(ready[0]);
    if (pid_ < 0 || !told || held != 'y') throw std::runtime_error("the child took no lock");
  }
  ~PublishingProcess() { Kill(); }
  PublishingProcess(const PublishingProcess&) = delete;
  PublishingProcess& operator=(const PublishingProcess&) = delete;

  // Ends the child without a chance to clean up; its link stays.
  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

}  // namespace mx::test
