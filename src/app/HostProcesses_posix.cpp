// Processes on Linux: found and named through /proc, ended with SIGKILL.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string_view>

#include "app/HostSystem.h"
#include "app/HostSystem_p.h"
#include "app/HostSystem_posix_p.h"

namespace mx {
namespace fs = std::filesystem;
namespace posix = host::posix;

namespace {

constexpr std::string_view kDeletedSuffix = " (deleted)";

std::vector<pid_t> ProcessIds() {
  std::vector<pid_t> ids;
  for (const std::string& name : posix::DirectoryEntryNames("/proc")) {
    if (const auto number = posix::DecimalNumber(name)) ids.push_back(static_cast<pid_t>(*number));
  }
  return ids;
}

host::ProcessNames NamesOf(pid_t pid) {
  const std::string procDirectory = "/proc/" + std::to_string(pid);
  host::ProcessNames names;
  std::error_code error;
  const fs::path exe = fs::read_symlink(procDirectory + "/exe", error);
  if (!error) {
    names.executable = exe.filename().string();
    // An executable replaced while it runs shows as "name (deleted)".
    if (names.executable.ends_with(kDeletedSuffix)) {
      names.executable.resize(names.executable.size() - kDeletedSuffix.size());
    }
  }
  return names;
}

// A process that has ended but not been reaped yet cannot be ended again.
bool HasEnded(pid_t pid) {
  const std::string stat = posix::ReadFirstLine("/proc/" + std::to_string(pid) + "/stat").value_or("");
  const std::size_t nameEnd = stat.rfind(')');
  if (nameEnd == std::string::npos || nameEnd + 2 >= stat.size()) return true;
  const char state = stat[nameEnd + 2];
  return state == 'Z' || state == 'X';
}

}  // namespace

namespace host {

bool ProcessNameMatches(const std::string& wanted, const ProcessNames& names) {
  std::vector<std::string_view> candidates{wanted};
  constexpr std::string_view kWindowsSuffix = ".exe";
  if (wanted.size() > kWindowsSuffix.size() &&
      posix::EqualsNoCase(std::string_view(wanted).substr(wanted.size() - kWindowsSuffix.size()), kWindowsSuffix)) {
    candidates.push_back(std::string_view(wanted).substr(0, wanted.size() - kWindowsSuffix.size()));
  }
  // Only the whole executable name counts. The kernel's command name is cut
  // to 15 characters, so it would also match every longer name that shares
  // them; and a process whose executable cannot be read is one this user may
  // not end, or one that is ending.
  if (names.executable.empty()) return false;
  return std::any_of(candidates.begin(), candidates.end(),
                     [&](std::string_view candidate) { return posix::EqualsNoCase(names.executable, candidate); });
}

}  // namespace host

bool KillProcessByName(const std::string& name) {
  const pid_t self = ::getpid();
  bool selfMatches = false;
  bool ended = false;
  for (const pid_t pid : ProcessIds()) {
    if (HasEnded(pid) || !host::ProcessNameMatches(name, NamesOf(pid))) continue;
    if (pid == self) {
      selfMatches = true;
      continue;
    }
    // kill() refuses (EPERM) processes this user may not signal.
    if (::kill(pid, SIGKILL) == 0) ended = true;
  }
  // The calling process goes last, so that every other copy has been ended.
  if (selfMatches && ::kill(self, SIGKILL) == 0) ended = true;
  return ended;
}

}  // namespace mx
