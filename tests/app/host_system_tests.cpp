// The host beside the serial port: directories, the port list, the device
// path of a port, and ending processes by name.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/HostSystem.h"
#include "app/HostSystem_p.h"
#include "host_test_support.h"

extern char** environ;

namespace mx {
namespace {

namespace fs = std::filesystem;
using test::ScopedEnvironment;
using test::ScratchDirectory;

std::string UpperCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string LowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// ---- Directories --------------------------------------------------------------

TEST(ExecutableDirectory, IsTheAbsoluteDirectoryOfThisProgram) {
  const std::string directory = ExecutableDirectory();
  ASSERT_FALSE(directory.empty());
  EXPECT_EQ(directory.front(), '/');
  EXPECT_EQ(directory.back(), '/');
  EXPECT_TRUE(fs::is_regular_file(directory + "host_tests"));
}

TEST(SettingsDirectory, IsTheExecutableDirectoryWhenItTakesFiles) {
  ASSERT_TRUE(host::DirectoryTakesSettings(ExecutableDirectory()));
  EXPECT_EQ(SettingsDirectory(), ExecutableDirectory());
}

TEST(SettingsDirectory, WritableCandidateIsKeptAndNoProbeLeftBehind) {
  ScratchDirectory scratch;
  const std::string candidate = scratch.MakeDirectory("bin", 0755) + "/";
  const std::string fallback = scratch / "config/mx7410/";
  EXPECT_EQ(host::ChooseSettingsDirectory(candidate, fallback), candidate);
  EXPECT_TRUE(fs::is_empty(candidate));
  EXPECT_FALSE(fs::exists(fallback));
}

// An installed program's directory takes no files: the settings go to the
// user's configuration directory instead.
TEST(SettingsDirectory, UnwritableCandidateFallsBackAndCreatesTheFallback) {
  ScratchDirectory scratch;
  const std::string candidate = scratch.MakeDirectory("bin", 0555) + "/";
  const std::string home = scratch.MakeDirectory("home", 0777);
  const std::string fallback = home + "/.config/mx7410/";
  EXPECT_TRUE(test::RunAsOrdinaryUser([&] {
    return host::ChooseSettingsDirectory(candidate, fallback) == fallback && fs::is_directory(fallback) &&
           fs::is_empty(candidate);
  }));
}

// The user's folder starts from a writable copy of the read-only file, once.
TEST(SettingsDirectory, ReadOnlySettingsFileFallsBackToAWritableCopy) {
  ScratchDirectory scratch;
  const std::string candidate = scratch.MakeDirectory("bin", 0777) + "/";
  test::WriteBytes(candidate + "Comport.ini", "[ComPort]\r\nShowmag=0\r\n");
  fs::permissions(candidate + "Comport.ini", fs::perms(0444));
  const std::string home = scratch.MakeDirectory("home", 0777);
  const std::string fallback = home + "/mx7410/";
  EXPECT_TRUE(test::RunAsOrdinaryUser([&] {
    if (host::DirectoryTakesSettings(candidate) || host::ChooseSettingsDirectory(candidate, fallback) != fallback) {
      return false;
    }
    const bool copied = test::ReadBytes(fallback + "Comport.ini") == "[ComPort]\r\nShowmag=0\r\n" &&
                        host::DirectoryTakesSettings(fallback);
    test::WriteBytes(fallback + "Comport.ini", "[ComPort]\r\nShowmag=1\r\n");
    return copied && host::ChooseSettingsDirectory(candidate, fallback) == fallback &&
           test::ReadBytes(fallback + "Comport.ini") == "[ComPort]\r\nShowmag=1\r\n";
  }));
}

struct ConfigCase {
  const char* what;
  std::optional<std::string> xdgConfigHome;
  std::optional<std::string> home;
  std::string expected;
};

void PrintTo(const ConfigCase& c, std::ostream* os) { *os << c.what; }

class UserConfigDirectoryRules : public testing::TestWithParam<ConfigCase> {};

TEST_P(UserConfigDirectoryRules, FollowsTheEnvironment) {
  const ConfigCase& c = GetParam();
  ScopedEnvironment config("XDG_CONFIG_HOME", c.xdgConfigHome);
  ScopedEnvironment home("HOME", c.home);
  EXPECT_EQ(host::UserConfigDirectory(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UserConfigDirectoryRules,
    testing::Values(ConfigCase{"XDG_CONFIG_HOME", "/cfg", "/home/u", "/cfg/mx7410/"},
                    ConfigCase{"XDG_CONFIG_HOME with separator", "/cfg/", "/home/u", "/cfg/mx7410/"},
                    ConfigCase{"HOME without XDG_CONFIG_HOME", std::nullopt, "/home/u", "/home/u/.config/mx7410/"},
                    ConfigCase{"empty XDG_CONFIG_HOME", "", "/home/u/", "/home/u/.config/mx7410/"},
                    ConfigCase{"relative XDG_CONFIG_HOME is ignored", "cfg", "/home/u", "/home/u/.config/mx7410/"}),
    [](const testing::TestParamInfo<ConfigCase>& info) { return test::CaseName(info.param.what); });

// ---- Port names -----------------------------------------------------------------

struct PortDirectoryCase {
  const char* what;
  std::optional<std::string> portDir;
  std::optional<std::string> runtimeDir;
  std::string expected;  // "<uid>" stands for the user's id
};

void PrintTo(const PortDirectoryCase& c, std::ostream* os) { *os << c.what; }

class SimulatorPortDirectoryRules : public testing::TestWithParam<PortDirectoryCase> {};

TEST_P(SimulatorPortDirectoryRules, FollowsTheEnvironment) {
  const PortDirectoryCase& c = GetParam();
  ScopedEnvironment portDir("MX7410_PORT_DIR", c.portDir);
  ScopedEnvironment runtimeDir("XDG_RUNTIME_DIR", c.runtimeDir);
  std::string expected = c.expected;
  if (const std::size_t uid = expected.find("<uid>"); uid != std::string::npos) {
    expected.replace(uid, 5, std::to_string(::getuid()));
  }
  EXPECT_EQ(mx::SimulatorPortDirectory(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SimulatorPortDirectoryRules,
    testing::Values(PortDirectoryCase{"MX7410_PORT_DIR first", "/x/ports", "/run/user/5", "/x/ports"},
                    PortDirectoryCase{"empty MX7410_PORT_DIR is unset", "", "/run/user/5", "/run/user/5/mx7410"},
                    PortDirectoryCase{"XDG_RUNTIME_DIR", std::nullopt, "/run/user/5", "/run/user/5/mx7410"},
                    PortDirectoryCase{"XDG_RUNTIME_DIR with separator", std::nullopt, "/run/user/5/",
                                      "/run/user/5/mx7410"},
                    PortDirectoryCase{"neither", std::nullopt, std::nullopt, "/tmp/mx7410-<uid>"},
                    PortDirectoryCase{"both empty", "", "", "/tmp/mx7410-<uid>"}),
    [](const testing::TestParamInfo<PortDirectoryCase>& info) { return test::CaseName(info.param.what); });

struct DevicePathCase {
  std::string name;
  std::string expected;
};

void PrintTo(const DevicePathCase& c, std::ostream* os) { *os << '"' << c.name << '"'; }

class PortDevicePathRules : public testing::TestWithParam<DevicePathCase> {};

TEST_P(PortDevicePathRules, MakesAnOpenablePath) {
  EXPECT_EQ(mx::PortDevicePath(GetParam().name), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, PortDevicePathRules,
                         testing::Values(DevicePathCase{"ttyUSB0", "/dev/ttyUSB0"},
                                         DevicePathCase{"ttyS12", "/dev/ttyS12"}, DevicePathCase{"pts/3", "/dev/pts/3"},
                                         DevicePathCase{"/run/user/5/mx7410/sim0", "/run/user/5/mx7410/sim0"},
                                         DevicePathCase{"", "/dev/"}));

TEST(NumberedPorts, KeepsNumberedNamesInNumericOrder) {
  const std::vector<std::string> devices{"ttyUSB10", "ttyUSB2", "ttyS1",    "ttyUSB",  "ttyUSBx",
                                         "ttyUSB1",  "tty1",    "ttyUSB0a", "ttyUSB9", "xttyUSB3"};
  EXPECT_EQ(host::NumberedPorts(devices, "ttyUSB"),
            (std::vector<std::string>{"ttyUSB1", "ttyUSB2", "ttyUSB9", "ttyUSB10"}));
  EXPECT_EQ(host::NumberedPorts(devices, "ttyS"), (std::vector<std::string>{"ttyS1"}));
  EXPECT_TRUE(host::NumberedPorts(devices, "ttyACM").empty());
}

// A pseudo-terminal pair; its slave exists while the master is open.
class PseudoTerminal {
 public:
  PseudoTerminal() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0) slave_ = ::ptsname(master_);
  }
  ~PseudoTerminal() {
    if (master_ >= 0) ::close(master_);
  }
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;
  const std::string& SlavePath() const { return slave_; }

 private:
  int master_ = -1;
  std::string slave_;
};

bool IsRealPortName(const std::string& name) {
  struct stat info {};
  return !name.empty() && name.front() != '/' && ::stat(mx::PortDevicePath(name).c_str(), &info) == 0 &&
         S_ISCHR(info.st_mode);
}

TEST(ListSerialPortNames, PublishedSimulatorPortsComeLastSortedByName) {
  PseudoTerminal first;
  PseudoTerminal second;
  ASSERT_FALSE(first.SlavePath().empty());
  ASSERT_FALSE(second.SlavePath().empty());
  ScratchDirectory scratch;
  const std::string ports = scratch.MakeDirectory("ports", 0755);
  test::PublishingProcess b(first.SlavePath(), ports + "/sim-b");
  test::PublishingProcess a(second.SlavePath(), ports + "/sim-a");
  fs::create_symlink(scratch / "gone", ports + "/sim-c");  // a simulator that has ended
  test::WriteBytes(ports + "/sim-d", "");                  // not a link
  fs::create_directory(ports + "/sim-e");
  fs::create_symlink(first.SlavePath(), ports + "/sim-f");  // no simulator holds it
  ScopedEnvironment portDir("MX7410_PORT_DIR", ports);

  const std::vector<std::string> names = ListSerialPortNames();
  ASSERT_GE(names.size(), 2u);
  const std::vector<std::string> published(names.end() - 2, names.end());
  EXPECT_EQ(published, (std::vector<std::string>{ports + "/sim-a", ports + "/sim-b"}));
  for (auto it = names.begin(); it != names.end() - 2; ++it) {
    EXPECT_TRUE(IsRealPortName(*it)) << *it;
  }
  EXPECT_EQ(mx::PortDevicePath(published.front()), ports + "/sim-a");
}

TEST(ListSerialPortNames, WithoutASimulatorListsOnlyRealPorts) {
  ScratchDirectory scratch;
  ScopedEnvironment portDir("MX7410_PORT_DIR", scratch / "no-such-directory");
  const std::vector<std::string> names = ListSerialPortNames();
  for (const std::string& name : names) EXPECT_TRUE(IsRealPortName(name)) << name;
  EXPECT_EQ(ListSerialPortNames(), names);  // a stable order
}

TEST(PortDevicePath, TakesASimulatorsPublishedNameWhereDevHasNoSuchDevice) {
  PseudoTerminal pty;
  ScratchDirectory scratch;
  const std::string ports = scratch.MakeDirectory("ports", 0755);
  test::PublishingProcess simulator(pty.SlavePath(), ports + "/sim0");
  ScopedEnvironment portDir("MX7410_PORT_DIR", ports);
  EXPECT_EQ(mx::PortDevicePath("sim0"), ports + "/sim0");
  EXPECT_EQ(mx::PortDevicePath("sim1"), "/dev/sim1") << "nothing published under that name";
  EXPECT_EQ(mx::PortDevicePath("null"), "/dev/null") << "/dev comes first";
}

// A killed simulator leaves its link, and its pty's number goes to the next
// terminal: the link must lead nowhere then.
TEST(ListSerialPortNames, ALinkCountsOnlyWhileItsSimulatorLives) {
  PseudoTerminal someonesTerminal;
  ScratchDirectory scratch;
  const std::string ports = scratch.MakeDirectory("ports", 0700);
  ScopedEnvironment portDir("MX7410_PORT_DIR", ports);
  test::PublishingProcess simulator(someonesTerminal.SlavePath(), ports + "/sim0");
  auto listed = [&] {
    const std::vector<std::string> names = ListSerialPortNames();
    return std::find(names.begin(), names.end(), ports + "/sim0") != names.end();
  };
  EXPECT_TRUE(listed());
  EXPECT_EQ(mx::PortDevicePath("sim0"), ports + "/sim0");

  const int ownLock = test::TakeSimulatorLock(ports + "/sim0");
  EXPECT_LT(ownLock, 0) << "the listing must not have taken the lock";

  simulator.Kill();
  ASSERT_TRUE(fs::is_symlink(ports + "/sim0"));
  EXPECT_FALSE(listed());
  EXPECT_EQ(mx::PortDevicePath("sim0"), "/dev/sim0");
}

struct AppearanceCase {
  std::string what;
  std::vector<host::AppearedAdapter> adapters;
  std::vector<std::string> expected;
};

class AdapterOrder : public testing::TestWithParam<AppearanceCase> {};

TEST_P(AdapterOrder, NewestLast) {
  EXPECT_EQ(host::AdaptersInOrderOfAppearance(GetParam().adapters), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AdapterOrder,
    testing::Values(
        // ttyUSB0 was freed by an unplug and taken again by the adapter plugged last
        AppearanceCase{
            "replugged", {{"ttyUSB0", 300}, {"ttyUSB1", 100}, {"ttyACM0", 200}}, {"ttyUSB1", "ttyACM0", "ttyUSB0"}},
        AppearanceCase{
            "same moment", {{"ttyACM0", 5}, {"ttyUSB10", 5}, {"ttyUSB2", 5}}, {"ttyUSB2", "ttyUSB10", "ttyACM0"}},
        AppearanceCase{"none", {}, {}}),
    [](const testing::TestParamInfo<AppearanceCase>& info) { return test::CaseName(info.param.what); });

// A made-up /dev and /sys as the kernel and udev lay them out: two built-in
// UARTs and two phantom ones, an FTDI adapter and an ACM modem.
class FakeHostTree : public testing::Test {
 protected:
  FakeHostTree() : roots_{scratch_ / "dev", scratch_ / "sys"} {
    fs::create_directories(roots_.dev + "/serial/by-id");
    fs::create_directories(roots_.dev + "/serial/by-path");
    const std::string platform = roots_.sys + "/devices/platform/serial8250";
    const std::string usb = roots_.sys + "/devices/pci0000:00/0000:00:04.0/usb1";
    Uart("ttyS0", platform + "/tty/ttyS0", "4");
    Uart("ttyS1", platform + "/tty/ttyS1", "4");
    Uart("ttyS2", platform + "/tty/ttyS2", "0");  // no UART found at its address
    Node("ttyS3");                                // no device at all
    UsbDevice(usb + "/1-1", "0403", "6001", "FT4XQ2", "FTDI", "FT232R USB UART");
    UsbDevice(usb + "/1-2", "2341", "0043", "", "Arduino", "");
    Tty("ttyUSB0", usb + "/1-1/1-1:1.0/ttyUSB0");
    Tty("ttyACM0", usb + "/1-2/1-2:1.0");
    fs::create_symlink("../../ttyUSB0", roots_.dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_FT4XQ2-if00-port0");
    fs::create_symlink("../../ttyUSB0", roots_.dev + "/serial/by-path/pci-0000:00:04.0-usb-0:1:1.0-port0");
    fs::create_symlink("../../ttyACM0", roots_.dev + "/serial/by-id/usb-Arduino-if00");
  }

  void Node(const std::string& name) { test::WriteBytes(roots_.dev + "/" + name, ""); }
  void Tty(const std::string& name, const std::string& device) {
    Node(name);
    fs::create_directories(device);
    fs::create_directories(roots_.sys + "/class/tty/" + name);
    fs::create_symlink(device, roots_.sys + "/class/tty/" + name + "/device");
  }
  void Uart(const std::string& name, const std::string& device, const std::string& type) {
    Tty(name, device);
    test::WriteBytes(roots_.sys + "/class/tty/" + name + "/type", type + "\n");
  }
  void UsbDevice(const std::string& directory, const std::string& vendor, const std::string& product,
                 const std::string& serial, const std::string& maker, const std::string& model) {
    fs::create_directories(directory);
    test::WriteBytes(directory + "/idVendor", vendor + "\n");
    test::WriteBytes(directory + "/idProduct", product + "\n");
    if (!serial.empty()) test::WriteBytes(directory + "/serial", serial + "\n");
    if (!maker.empty()) test::WriteBytes(directory + "/manufacturer", maker + "\n");
    if (!model.empty()) test::WriteBytes(directory + "/product", model + "\n");
  }

  std::vector<std::string> Names(const std::vector<SerialPortInfo>& ports) {
    std::vector<std::string> names;
    for (const SerialPortInfo& port : ports) names.push_back(port.name);
    return names;
  }

  ScratchDirectory scratch_;
  host::HostRoots roots_;
};

TEST_F(FakeHostTree, BuiltInPortsWithHardwareFirstThenAdaptersThenSimulators) {
  PseudoTerminal pty;
  const std::string simulators = scratch_.MakeDirectory("sims", 0755);
  test::PublishingProcess simulator(pty.SlavePath(), simulators + "/sim0");

  const std::vector<SerialPortInfo> ports = host::FindSerialPorts(roots_, simulators, true);
  ASSERT_EQ(ports.size(), 5u) << testing::PrintToString(Names(ports));
  EXPECT_EQ(ports[0].name, "ttyS0");
  EXPECT_EQ(ports[1].name, "ttyS1");
  EXPECT_EQ(ports[0].kind, PortKind::BuiltIn);
  EXPECT_EQ(ports[0].devicePath, roots_.dev + "/ttyS0");
  EXPECT_EQ(ports[4].name, simulators + "/sim0");
  EXPECT_EQ(ports[4].kind, PortKind::Simulator);

  const auto adapter = std::find_if(ports.begin(), ports.end(), [](auto& p) { return p.name == "ttyUSB0"; });
  ASSERT_NE(adapter, ports.end());
  EXPECT_EQ(adapter->kind, PortKind::Usb);
  EXPECT_EQ(adapter->usbId, "0403:6001");
  EXPECT_EQ(adapter->serialNumber, "FT4XQ2");
  EXPECT_EQ(adapter->description, "FTDI FT232R USB UART");
  EXPECT_EQ(adapter->byId, roots_.dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_FT4XQ2-if00-port0");
  EXPECT_EQ(adapter->byPath, roots_.dev + "/serial/by-path/pci-0000:00:04.0-usb-0:1:1.0-port0");

  const auto modem = std::find_if(ports.begin(), ports.end(), [](auto& p) { return p.name == "ttyACM0"; });
  ASSERT_NE(modem, ports.end());
  EXPECT_EQ(modem->kind, PortKind::Acm);
  EXPECT_EQ(modem->usbId, "2341:0043");
  EXPECT_EQ(modem->serialNumber, "");
  EXPECT_EQ(modem->description, "Arduino");
  EXPECT_EQ(modem->byId, roots_.dev + "/serial/by-id/usb-Arduino-if00");
  EXPECT_EQ(modem->byPath, "");

  const std::vector<SerialPortInfo> plain = host::FindSerialPorts(roots_, simulators, false);
  EXPECT_EQ(Names(plain), Names(ports));
  EXPECT_EQ(plain[2].usbId, "") << "details only when asked for";
}

TEST_F(FakeHostTree, TheAdapterPluggedLastIsListedLast) {
  // Its device node is made after the others'. The file system's clock may
  // be coarser than two creations: touch it until its time is later.
  struct stat before {};
  ASSERT_EQ(::stat((roots_.dev + "/ttyACM0").c_str(), &before), 0);
  Tty("ttyUSB1", roots_.sys + "/devices/pci0000:00/0000:00:04.0/usb1/1-3/1-3:1.0/ttyUSB1");
  for (struct stat after{}; ::stat((roots_.dev + "/ttyUSB1").c_str(), &after) == 0;) {
    if (after.st_ctim.tv_sec != before.st_ctim.tv_sec || after.st_ctim.tv_nsec > before.st_ctim.tv_nsec) break;
    ::chmod((roots_.dev + "/ttyUSB1").c_str(), 0644);
  }
  const std::vector<SerialPortInfo> ports = host::FindSerialPorts(roots_, scratch_ / "no-sims", false);
  ASSERT_FALSE(ports.empty());
  EXPECT_EQ(ports.back().name, "ttyUSB1") << testing::PrintToString(Names(ports));
}

// ---- Processes ----------------------------------------------------------------

struct NameCase {
  const char* what;
  std::string wanted;
  host::ProcessNames names;
  bool matches;
};

void PrintTo(const NameCase& c, std::ostream* os) { *os << c.what; }

class ProcessNameMatching : public testing::TestWithParam<NameCase> {};

TEST_P(ProcessNameMatching, ComparesLikeTheWindowsName) {
  const NameCase& c = GetParam();
  EXPECT_EQ(host::ProcessNameMatches(c.wanted, c.names), c.matches) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProcessNameMatching,
    testing::Values(NameCase{"same name", "mx_7410Update", {"mx_7410Update"}, true},
                    NameCase{"other case", "MX_7410UPDATE", {"mx_7410Update"}, true},
                    NameCase{"windows name of the linux program", "mx_7410Update.exe", {"mx_7410Update"}, true},
                    NameCase{"windows name in capitals", "MX_7410UPDATE.EXE", {"mx_7410Update"}, true},
                    NameCase{"windows name of a windows program", "mx_7410Update.exe", {"mx_7410Update.exe"}, true},
                    NameCase{"linux name does not match a .exe file", "mx_7410Update", {"mx_7410Update.exe"}, false},
                    NameCase{"longer executable name", "mx_7410Update.exe", {"mx_7410Update2"}, false},
                    NameCase{"shorter executable name", "mx_7410Update.exe", {"mx_7410Updat"}, false},
                    NameCase{
                        "first 15 characters of a longer name", "AVeryLongProgra", {"AVeryLongProgramName"}, false},
                    NameCase{"executable unreadable", "mx_7410Update.exe", {""}, false},
                    NameCase{"empty wanted name", "", {"sleep"}, false}, NameCase{"bare suffix", ".exe", {""}, false}),
    [](const testing::TestParamInfo<NameCase>& info) { return test::CaseName(info.param.what); });

// A copy of sleep(1) under a name of the test's choosing, running until it is
// ended.
class NamedProgram {
 public:
  NamedProgram(const ScratchDirectory& scratch, const std::string& name) {
    const std::string path = scratch / name;
    std::error_code error;
    if (!fs::exists(path)) fs::copy_file("/bin/sleep", path, error);
    char arg0[] = "sleep";
    char arg1[] = "60";
    char* argv[] = {arg0, arg1, nullptr};
    // The copy's end of this pipe closes when it has started the program.
    int started[2];
    if (::pipe2(started, O_CLOEXEC) != 0) return;
    if (::posix_spawn(&pid_, path.c_str(), nullptr, nullptr, argv, environ) != 0) pid_ = -1;
    ::close(started[1]);
    char byte;
    while (::read(started[0], &byte, 1) < 0 && errno == EINTR) {
    }
    ::close(started[0]);
  }
  ~NamedProgram() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  NamedProgram(const NamedProgram&) = delete;
  NamedProgram& operator=(const NamedProgram&) = delete;

  pid_t Pid() const { return pid_; }

  bool StillRunning() const { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }

  // Waits for the end (ending it first unless `ended` says it was) and tells
  // whether SIGKILL ended it.
  bool EndedByKill(bool ended) {
    if (pid_ <= 0) return false;
    if (!ended) ::kill(pid_, SIGTERM);
    int status = 0;
    const bool reaped = ::waitpid(pid_, &status, 0) == pid_;
    pid_ = -1;
    return reaped && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  }

 private:
  pid_t pid_ = -1;
};

// Long, mixed-case and unique: longer than the 15 characters of a command name.
std::string UniqueProgramName() { return "MxHostProbe-Sleeper-" + std::to_string(::getpid()); }

TEST(KillProcessByName, NameThatNoProcessHasEndsNothing) {
  ScratchDirectory scratch;
  const std::string name = UniqueProgramName();
  NamedProgram program(scratch, name);
  ASSERT_GT(program.Pid(), 0);
  const std::vector<std::string> others{"MxNoSuchProgram-" + std::to_string(::getpid()), name.substr(0, 15),
                                        name.substr(0, name.size() - 1), name + "x", name + ".exe.exe"};
  for (const std::string& other : others) {
    EXPECT_FALSE(KillProcessByName(other)) << other;
  }
  EXPECT_TRUE(program.StillRunning());
}

struct KillCase {
  const char* what;
  std::string (*spell)(const std::string&);
};

void PrintTo(const KillCase& c, std::ostream* os) { *os << c.what; }

class KillProcessByNameSpelled : public testing::TestWithParam<KillCase> {};

TEST_P(KillProcessByNameSpelled, EndsTheProgram) {
  ScratchDirectory scratch;
  const std::string name = UniqueProgramName();
  NamedProgram program(scratch, name);
  ASSERT_GT(program.Pid(), 0);
  const bool ended = KillProcessByName(GetParam().spell(name));
  EXPECT_TRUE(ended);
  EXPECT_TRUE(program.EndedByKill(ended));
}

INSTANTIATE_TEST_SUITE_P(Cases, KillProcessByNameSpelled,
                         testing::Values(KillCase{"as it is", [](const std::string& n) { return n; }},
                                         KillCase{"upper case", [](const std::string& n) { return UpperCase(n); }},
                                         KillCase{"lower case", [](const std::string& n) { return LowerCase(n); }},
                                         KillCase{"windows name", [](const std::string& n) { return n + ".exe"; }},
                                         KillCase{"windows name upper case",
                                                  [](const std::string& n) { return UpperCase(n + ".exe"); }}),
                         [](const testing::TestParamInfo<KillCase>& info) { return test::CaseName(info.param.what); });

TEST(KillProcessByName, EndsEveryCopy) {
  ScratchDirectory scratch;
  const std::string name = UniqueProgramName();
  NamedProgram first(scratch, name);
  NamedProgram second(scratch, name);
  ASSERT_GT(first.Pid(), 0);
  ASSERT_GT(second.Pid(), 0);
  const bool ended = KillProcessByName(UpperCase(name));
  EXPECT_TRUE(ended);
  EXPECT_TRUE(first.EndedByKill(ended));
  EXPECT_TRUE(second.EndedByKill(ended));
}

TEST(KillProcessByName, AProcessThatHasEndedIsNotCounted) {
  ScratchDirectory scratch;
  const std::string name = UniqueProgramName();
  NamedProgram program(scratch, name);
  ASSERT_GT(program.Pid(), 0);
  ASSERT_EQ(::kill(program.Pid(), SIGKILL), 0);
  siginfo_t info{};
  // Wait for the end but leave the process unreaped.
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(program.Pid()), &info, WEXITED | WNOWAIT), 0);
  EXPECT_FALSE(KillProcessByName(name));
  EXPECT_TRUE(program.EndedByKill(true));
}

}  // namespace
}  // namespace mx
