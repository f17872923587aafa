// The Windows host layer: the executable's directory, where the settings
// live, the registry's serial port list, device paths, ending processes.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "WinTestSupport.h"
#include "app/HostSystem.h"
#include "app/HostSystem_p.h"

namespace mx::test {
namespace {

TEST(HostWin, ExecutableDirectoryHoldsThisProgram) {
  const std::string directory = ExecutableDirectory();
  ASSERT_FALSE(directory.empty());
  EXPECT_EQ(directory.back(), '\\');
  EXPECT_TRUE(FileExists(directory + "host_win_test.exe")) << directory;
}

TEST(HostWin, SettingsStayBesideAWritableExecutable) { EXPECT_EQ(SettingsDirectory(), ExecutableDirectory()); }

TEST(HostWin, WritableDirectoryIsChosenAndLeftClean) {
  WinTempDir dir;
  EXPECT_EQ(host::ChooseSettingsDirectory(dir.Path(), dir / "fallback\\"), dir.Path());
  EXPECT_TRUE(std::filesystem::is_empty(dir.Path())) << "the probe must not stay behind";
}

TEST(HostWin, MissingDirectoryFallsBackAndCreatesTheFallback) {
  WinTempDir dir;
  const std::string fallback = dir / "config\\mx7410\\";
  EXPECT_EQ(host::ChooseSettingsDirectory(dir / "missing\\", fallback), fallback);
  EXPECT_TRUE(std::filesystem::is_directory(fallback));
}

// A settings file that cannot be written sends the settings to the user's
// folder, which starts from a writable copy of that file; the file itself
// stays as it was. The read-only attribute is how Windows keeps a file from
// being written (Wine running as root, as in CI, writes it all the same).
TEST(HostWin, ReadOnlySettingsFileFallsBackToAWritableCopy) {
  WinTempDir dir;
  const std::string installed = dir / host::kSettingsFileName;
  const std::string bytes = "[ComPort]\r\nPort=COM5\r\nlanguage=CH\r\n";
  WriteFileBytes(installed, bytes);
  ASSERT_TRUE(SetFileAttributesA(installed.c_str(), FILE_ATTRIBUTE_READONLY));
  const std::string fallback = dir / "user\\mx7410\\";
  EXPECT_FALSE(host::DirectoryTakesSettings(dir.Path()));
  EXPECT_EQ(host::ChooseSettingsDirectory(dir.Path(), fallback), fallback);

  const std::string copy = fallback + host::kSettingsFileName;
  EXPECT_EQ(ReadFileBytes(copy), bytes);
  EXPECT_TRUE(host::DirectoryTakesSettings(fallback)) << "the copy must not be read-only";
  EXPECT_EQ(ReadFileBytes(installed), bytes);
  EXPECT_TRUE(GetFileAttributesA(installed.c_str()) & FILE_ATTRIBUTE_READONLY);

  // Later starts keep what the user's copy holds.
  WriteFileBytes(copy, "[ComPort]\r\nlanguage=ENG\r\n");
  EXPECT_EQ(host::ChooseSettingsDirectory(dir.Path(), fallback), fallback);
  EXPECT_EQ(ReadFileBytes(copy), "[ComPort]\r\nlanguage=ENG\r\n");
  SetFileAttributesA(installed.c_str(), FILE_ATTRIBUTE_NORMAL);  // Windows deletes no read-only file
}

TEST(HostWin, SettingsNameTakenByADirectoryIsNotTaken) {
  WinTempDir dir;
  ASSERT_TRUE(CreateDirectoryA((dir / host::kSettingsFileName).c_str(), nullptr));
  EXPECT_FALSE(host::DirectoryTakesSettings(dir.Path()));
}

TEST(HostWin, UserConfigDirectoryIsUnderAppData) {
  const char* appData = std::getenv("APPDATA");
  ASSERT_NE(appData, nullptr);
  EXPECT_EQ(host::UserConfigDirectory(), std::string(appData) + "\\mx7410\\");
}

TEST(HostWin, PortNamesBecomeDevicePaths) {
  EXPECT_EQ(PortDevicePath("COM1"), "\\\\.\\COM1");
  EXPECT_EQ(PortDevicePath("COM12"), "\\\\.\\COM12");
}

// The ports that the test script maps all appear, once each.
TEST(HostWin, RegistryListsTheMappedPorts) {
  std::vector<std::string> mapped = EnvironmentWords(kSimulatorPortVariable);
  const std::vector<std::string> pair = EnvironmentWords(kNullModemVariable);
  mapped.insert(mapped.end(), pair.begin(), pair.end());
  ASSERT_EQ(mapped.size(), 3u) << kSimulatorPortVariable << " or " << kNullModemVariable << kPortsMissing;

  const std::vector<std::string> listed = ListSerialPortNames();
  for (const std::string& port : mapped) {
    EXPECT_EQ(std::count(listed.begin(), listed.end(), port), 1) << port;
  }
  EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()).size(), listed.size());
}

TEST(HostWin, DescriptionsFollowTheRegistryList) {
  const std::vector<std::string> listed = ListSerialPortNames();
  const std::vector<SerialPortInfo> described = DescribeSerialPorts();
  ASSERT_EQ(described.size(), listed.size());
  for (std::size_t i = 0; i < listed.size(); ++i) {
    EXPECT_EQ(described[i].name, listed[i]);
    EXPECT_EQ(described[i].devicePath, "\\\\.\\" + listed[i]);
  }
}

TEST(HostWin, UsbIdentityComesFromTheInstanceId) {
  const host::UsbIdentity ftdi = host::UsbIdentityFromInstanceId("USB\\VID_0403&PID_6001\\A700ABCD");
  EXPECT_EQ(ftdi.usbId, "0403:6001");
  EXPECT_EQ(ftdi.serialNumber, "A700ABCD");
  const host::UsbIdentity noSerial = host::UsbIdentityFromInstanceId("USB\\VID_1A86&PID_7523\\5&2F0C3D&0&2");
  EXPECT_EQ(noSerial.usbId, "1a86:7523");
  EXPECT_EQ(noSerial.serialNumber, "") << "a generated instance id is no serial number";
  EXPECT_EQ(host::UsbIdentityFromInstanceId("ACPI\\PNP0501\\1").usbId, "");
}

// ---- Ending processes -------------------------------------------------------

class Sleeper {
 public:
  // Starts the sleeper program and waits until it runs.
  Sleeper() {
    const std::string eventName = "mx7410-sleeper-" + std::to_string(GetCurrentProcessId());
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, eventName.c_str());
    std::string commandLine = "\"";
    commandLine += OwnDirectory();
    commandLine += "mx_win_sleeper.exe\" ";
    commandLine += eventName;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    started_ = ready != nullptr && CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                                  nullptr, &startup, &info_) != FALSE;
    started_ = started_ && WaitForSingleObject(ready, 10000) == WAIT_OBJECT_0;
    if (ready != nullptr) CloseHandle(ready);
  }
  ~Sleeper() {
    if (info_.hProcess != nullptr) {
      TerminateProcess(info_.hProcess, 9);
      CloseHandle(info_.hProcess);
      CloseHandle(info_.hThread);
    }
  }
  Sleeper(const Sleeper&) = delete;
  Sleeper& operator=(const Sleeper&) = delete;

  bool Started() const { return started_; }
  // The exit code once the program has ended within 10 s; else STILL_ACTIVE.
  DWORD ExitCode() const {
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(info_.hProcess, 10000) == WAIT_OBJECT_0) GetExitCodeProcess(info_.hProcess, &code);
    return code;
  }

 private:
  PROCESS_INFORMATION info_{};
  bool started_ = false;
};

TEST(HostWin, KillProcessByNameEndsProcessesOfThatNameWhateverTheCase) {
  Sleeper sleeper;
  ASSERT_TRUE(sleeper.Started());
  EXPECT_FALSE(KillProcessByName("mx_win_sleeper_not.exe"));
  EXPECT_TRUE(KillProcessByName("MX_Win_Sleeper.EXE"));
  EXPECT_EQ(sleeper.ExitCode(), 0u);
  EXPECT_FALSE(KillProcessByName("mx_win_sleeper.exe")) << "nothing of that name is left";
}

TEST(HostWin, KillProcessByNameWithUnknownNameEndsNothing) {
  EXPECT_FALSE(KillProcessByName("mx7410-no-such-program.exe"));
}

}  // namespace
}  // namespace mx::test
