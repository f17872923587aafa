// Publishing the simulator's port for the updater's port discovery.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include "HostPort.h"
#include "app/HostSystem.h"
#include "app/HostSystem_p.h"
#include "sim/SimulatedBootloader.h"

extern char** environ;

namespace mx::sim::test {
namespace {

namespace fs = std::filesystem;

bool LinkExists(const std::string& path) { return fs::is_symlink(fs::symlink_status(path)); }

TEST(SimPublish, LinkPointsAtThePortUntilStop) {
  TempDir temp;
  const std::string dir = temp.File("ports/nested");  // created on demand
  SimulatedBootloader sim;
  sim.Start();
  sim.Publish(dir, "sim0");
  const std::string link = (fs::path(dir) / "sim0").string();
  EXPECT_EQ(sim.PublishedPath(), link);
  ASSERT_TRUE(LinkExists(link));
  EXPECT_EQ(fs::read_symlink(link).string(), sim.PortPath());
  EXPECT_EQ(fs::status(dir).permissions() & fs::perms::all, fs::perms::owner_all);

  // The host can open the port by the published name.
  HostPort port(link);
  EXPECT_EQ(port.Exchange(kVersionRequest, kDefaultVersionReply.size()), kDefaultVersionReply);

  sim.Stop();
  EXPECT_FALSE(LinkExists(link));
  EXPECT_EQ(sim.PublishedPath(), "");
}

TEST(SimPublish, DestructionRemovesTheLink) {
  TempDir temp;
  {
    SimulatedBootloader sim;
    sim.Start();
    sim.Publish(temp.Path().string(), "mine");
    ASSERT_TRUE(LinkExists(temp.File("mine")));
  }
  EXPECT_FALSE(LinkExists(temp.File("mine")));
}

TEST(SimPublish, EmptyNameTakesTheFirstFreeSimN) {
  TempDir temp;
  // Left by simulators that died: the pty gone, or taken by a terminal since.
  fs::create_symlink("/dev/pts/no-such-pty", temp.File("sim0"));
  fs::create_symlink("/dev/null", temp.File("sim1"));
  std::ofstream(temp.File("sim2")) << "taken";
  SimulatedBootloader sims[3];
  for (SimulatedBootloader& sim : sims) {
    sim.Start();
    sim.Publish(temp.Path().string(), "");
  }
  const char* names[] = {"sim0", "sim1", "sim3"};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(sims[i].PublishedPath(), temp.File(names[i]));
    EXPECT_EQ(fs::read_symlink(temp.File(names[i])).string(), sims[i].PortPath());
  }
}

TEST(SimPublish, RefusesTakenNamesAndBadPlaces) {
  TempDir temp;
  std::ofstream(temp.File("taken")) << "x";
  SimulatedBootloader sim;
  EXPECT_THROW(sim.Publish(temp.Path().string(), "early"), std::logic_error);  // not started
  sim.Start();
  EXPECT_THROW(sim.Publish(temp.Path().string(), "taken"), std::runtime_error);
  EXPECT_THROW(sim.Publish(temp.File("taken"), "sim0"), std::runtime_error);  // not a directory
  EXPECT_THROW(sim.Publish(temp.Path().string(), "a/b"), std::runtime_error);
  EXPECT_EQ(sim.PublishedPath(), "");
}

TEST(SimPublish, DoesNotRemoveALinkThatIsNoLongerItsOwn) {
  TempDir temp;
  SimulatedBootloader sim;
  sim.Start();
  sim.Publish(temp.Path().string(), "sim0");
  fs::remove(temp.File("sim0"));
  fs::create_symlink("/dev/null", temp.File("sim0"));  // someone else's now
  sim.Stop();
  EXPECT_TRUE(LinkExists(temp.File("sim0")));
}

// Sets or clears an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(SimPublish, HoldsALockBesideTheLinkWhilePublished) {
  TempDir temp;
  SimulatedBootloader sim;
  sim.Start();
  sim.Publish(temp.Path().string(), "sim0");
  EXPECT_TRUE(host::SimulatorLinkIsLive(temp.File("sim0")));
  SimulatedBootloader rival;
  rival.Start();
  EXPECT_THROW(rival.Publish(temp.Path().string(), "sim0"), std::runtime_error);
  EXPECT_EQ(fs::read_symlink(temp.File("sim0")).string(), sim.PortPath());
  sim.Stop();
  EXPECT_FALSE(fs::exists(temp.File("sim0.lock")));
}

// The real program, publishing in `directory` until it is killed.
class SimulatorProcess {
 public:
  explicit SimulatorProcess(const std::string& directory, const std::string& name = "") {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    std::vector<std::string> args{MX7410_SIM_PROGRAM, "--port-dir", directory};
    if (!name.empty()) args.insert(args.end(), {"--name", name});
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    const int spawned = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    // It has published its link once it says where it serves.
    std::string line;
    for (char c = 0; spawned == 0 && c != '\n' && ::read(out[0], &c, 1) == 1;) line += c;
    ::close(out[0]);
    if (spawned != 0 || line.find(" as ") == std::string::npos) throw std::runtime_error("no simulator: " + line);
    link_ = line.substr(line.find(" as ") + 4);
    link_.pop_back();
  }
  ~SimulatorProcess() { Kill(); }

  // SIGKILL: the program cannot clean up.
  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  const std::string& Link() const { return link_; }

 private:
  pid_t pid_ = -1;
  std::string link_;
};

bool Listed(const std::string& link) {
  const std::vector<std::string> names = ListSerialPortNames();
  return std::find(names.begin(), names.end(), link) != names.end();
}

TEST(SimPublish, AKilledSimulatorsLinkIsNeitherListedNorKept) {
  TempDir temp;
  const std::string ports = temp.File("ports");
  ScopedEnv portDir("MX7410_PORT_DIR", ports.c_str());
  SimulatorProcess named(ports, "bench");
  SimulatorProcess first(ports);
  ASSERT_EQ(first.Link(), temp.File("ports/sim0"));
  EXPECT_TRUE(Listed(first.Link()));
  EXPECT_EQ(PortDevicePath("sim0"), first.Link());

  named.Kill();
  first.Kill();
  // The pty may go to someone's terminal now; the links stay behind.
  ASSERT_TRUE(LinkExists(first.Link()));
  EXPECT_FALSE(Listed(first.Link()));
  EXPECT_FALSE(Listed(named.Link()));
  EXPECT_EQ(PortDevicePath("sim0"), "/dev/sim0");

  // The next simulator takes the name again and clears the other dead link.
  SimulatorProcess next(ports);
  EXPECT_EQ(next.Link(), first.Link());
  EXPECT_TRUE(Listed(next.Link()));
  EXPECT_FALSE(LinkExists(named.Link()));
  EXPECT_FALSE(fs::exists(named.Link() + ".lock"));
}

TEST(SimPublish, PortDirectoryFollowsTheEnvironment) {
  const std::string fallback = "/tmp/mx7410-" + std::to_string(::getuid());
  const struct {
    const char* portDir;
    const char* runtimeDir;
    std::string expected;
  } cases[] = {
      {"/x/ports", "/run/user/7", "/x/ports"},
      {nullptr, "/run/user/7", "/run/user/7/mx7410"},
      {"", "/run/user/7", "/run/user/7/mx7410"},
      {nullptr, nullptr, fallback},
      {nullptr, "", fallback},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    ScopedEnv portDir("MX7410_PORT_DIR", c.portDir);
    ScopedEnv runtimeDir("XDG_RUNTIME_DIR", c.runtimeDir);
    EXPECT_EQ(PortDirectoryFromEnvironment(), c.expected);
  }
}

}  // namespace
}  // namespace mx::sim::test
