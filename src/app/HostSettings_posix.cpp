// Where the settings live on POSIX: beside the executable (found through
// /proc) when it takes files, else in the XDG configuration directory.

#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

#include "app/HostSystem.h"
#include "app/HostSystem_p.h"
#include "app/HostSystem_posix_p.h"

namespace mx {
namespace fs = std::filesystem;
namespace posix = host::posix;

namespace host {

bool DirectoryTakesSettings(const std::string& directory) {
  std::string probe = directory + ".mx7410-probe-XXXXXX";
  const int fd = ::mkstemp(probe.data());
  if (fd < 0) return false;
  ::close(fd);
  ::unlink(probe.c_str());
  const std::string settings = directory + kSettingsFileName;
  return ::access(settings.c_str(), F_OK) != 0 || ::access(settings.c_str(), R_OK | W_OK) == 0;
}

std::string ChooseSettingsDirectory(const std::string& candidate, const std::string& fallback) {
  if (DirectoryTakesSettings(candidate)) return candidate;
  std::error_code error;
  fs::create_directories(fallback, error);
  // The user's folder starts from the settings beside the program, so that
  // none are lost; a copy already there is the user's own and stays. The
  // copy takes the original's mode: let the user write it.
  const std::string copy = fallback + kSettingsFileName;
  if (fs::copy_file(candidate + kSettingsFileName, copy, fs::copy_options::skip_existing, error)) {
    fs::permissions(copy, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add, error);
  }
  return fallback;
}

std::string UserConfigDirectory() {
  if (const auto config = posix::Environment("XDG_CONFIG_HOME"); config && config->front() == '/') {
    return posix::WithSeparator(*config) + "mx7410/";
  }
  std::optional<std::string> home = posix::Environment("HOME");
  if (!home) {
    const passwd* user = ::getpwuid(::getuid());
    if (user != nullptr && user->pw_dir != nullptr) home = user->pw_dir;
  }
  return posix::WithSeparator(home.value_or("/tmp")) + ".config/mx7410/";
}

}  // namespace host

std::string ExecutableDirectory() {
  std::error_code error;
  const fs::path exe = fs::read_symlink("/proc/self/exe", error);
  if (error) return posix::WithSeparator(fs::current_path(error).string());
  return posix::WithSeparator(exe.parent_path().string());
}

std::string SettingsDirectory() {
  return host::ChooseSettingsDirectory(ExecutableDirectory(), host::UserConfigDirectory());
}

}  // namespace mx
