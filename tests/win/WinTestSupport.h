#pragma once

// Helpers of the Windows tests: scratch directories, the test programs'
// own directory, and the ports that scripts/test-windows.sh maps to
// pseudo-terminals on the Linux side:
//   MX_TEST_COM         the simulated bootloader's port, e.g. COM5
//   MX_TEST_NULL_MODEM  two ports joined by a null-modem cable, e.g. "COM6 COM7"

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace mx::test {

// A fresh directory under the user's temporary directory, removed with
// everything in it when the object goes.
class WinTempDir {
 public:
  WinTempDir() {
    static std::atomic<unsigned> counter{0};
    char base[MAX_PATH + 1] = {};
    if (GetTempPathA(sizeof base, base) == 0) throw std::runtime_error("no temporary directory");
    path_ = std::string(base) + "mx7410-win-" + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(counter++) + "\\";
    if (!CreateDirectoryA(path_.c_str(), nullptr)) throw std::runtime_error("cannot create " + path_);
  }
  ~WinTempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  WinTempDir(const WinTempDir&) = delete;
  WinTempDir& operator=(const WinTempDir&) = delete;

  // The directory, ending with a backslash.
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
};

inline std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline bool FileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The directory of the running test program, ending with a backslash.
inline std::string OwnDirectory() {
  char path[MAX_PATH + 1] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  const std::string full(path, length);
  return full.substr(0, full.find_last_of("\\/") + 1);
}

// The words of an environment variable; empty when it is not set.
inline std::vector<std::string> EnvironmentWords(const char* name) {
  std::vector<std::string> words;
  const char* value = std::getenv(name);
  std::istringstream stream(value != nullptr ? value : "");
  for (std::string word; stream >> word;) words.push_back(word);
  return words;
}

inline constexpr const char* kSimulatorPortVariable = "MX_TEST_COM";
inline constexpr const char* kNullModemVariable = "MX_TEST_NULL_MODEM";
inline constexpr const char* kPortsMissing =
    " is not set: these tests need the ports that scripts/test-windows.sh maps under Wine";

}  // namespace mx::test
