// Publishing the simulator's port for the updater's port discovery.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include "HostPort.h"
#include "sim/SimulatedBootloader.h"

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
  fs::create_symlink("/dev/pts/no-such-pty", temp.File("sim0"));  // left by a simulator that died
  std::ofstream(temp.File("sim1")) << "taken";
  SimulatedBootloader first;
  SimulatedBootloader second;
  first.Start();
  second.Start();
  first.Publish(temp.Path().string(), "");
  second.Publish(temp.Path().string(), "");
  EXPECT_EQ(first.PublishedPath(), temp.File("sim0"));
  EXPECT_EQ(second.PublishedPath(), temp.File("sim2"));
  EXPECT_EQ(fs::read_symlink(temp.File("sim0")).string(), first.PortPath());
  EXPECT_EQ(fs::read_symlink(temp.File("sim2")).string(), second.PortPath());
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
