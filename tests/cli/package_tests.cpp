// mx7410-flash with sealed packages: package makes one that tar lists, and
// check and station take it only when the administrator's keys vouch for it,
// with its own settings, never the operator's; --max-boards holds across
// stations sharing a record file, and across their restarts.

#include <signal.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <tuple>

#include "PackageTrust.h"
#include "cli/CliFixture.h"
#include "records/RecordStore.h"

namespace mx::test {
namespace {

using Json = nlohmann::json;

constexpr const char* kNoSuchPort = "/nonexistent/ttyMX0";

std::vector<Json> JsonLines(const std::string& text, const std::string& event) {
  std::vector<Json> objects;
  for (const std::string& line : Lines(text)) {
    if (Json object = Json::parse(line, nullptr, false); object.is_object() && object.value("event", "") == event)
      objects.push_back(object);
  }
  return objects;
}

class Packages : public Cli {
 protected:
  void SetUp() override {
    // Only root may vouch for a package with --trust; CI runs as root.
    if (geteuid() != 0) GTEST_SKIP() << "needs root: --trust vouches for packages only there";
    MakeKeys("line");
    MakeKeys("other");
  }

  void MakeKeys(const std::string& name) const {
    const ChildResult made = Flash({"keygen", "-W", "-p", Path(name + ".pub"), "-s", Path(name + ".key")});
    ASSERT_EQ(made.exitStatus, 0) << made.err;
  }
  std::string Path(const std::string& name) const { return (files.Path() / name).string(); }

  ChildResult MakePackage(const std::string& output, std::vector<std::string> settings,
                          const std::string& key = "line") {
    std::vector<std::string> args{"package", "--key", Path(key + ".key"), "--image", image_, "-o", Path(output)};
    args.insert(args.end(), settings.begin(), settings.end());
    return Flash(args);
  }
  // A station on its own folder of ports, trusting the line's key.
  ChildLaunch StationLaunch(const std::string& package, const fs::path& ports, const std::string& db) const {
    ChildLaunch launch = Launch({"--trust", Path("line.pub"), "station", Path(package), "--json", "--db", db});
    launch.env["MX7410_PORT_DIR"] = ports.string();
    fs::create_directories(ports);
    return launch;
  }

  const SampleImage sample_{1024, 0};
  const std::string image_ = WriteImage(sample_, "fw-1.hex");
};

TEST_F(Packages, AMadePackageIsATarThatCheckReads) {
  const ChildResult made = MakePackage("line.mxpkg", {"--serial", "0x0200:dec:6", "--serial-range", "1-99"});
  ASSERT_EQ(made.exitStatus, 0) << made.err;
  const ChildResult listed = RunChild({{"/usr/bin/tar", "tf", Path("line.mxpkg")}, {}});
  EXPECT_EQ(listed.out, "manifest.json\nfw-1.hex\npackage.minisig\n") << listed.err;

  const ChildResult checked = Flash({"--trust", Path("line.pub"), "check", Path("line.mxpkg")});
  ASSERT_EQ(checked.exitStatus, 0) << checked.err;
  EXPECT_TRUE(Contains(checked.out, "serial number (dec:6) at 0x000200, pool \"default\", from 1 to 99"))
      << checked.out;
  EXPECT_TRUE(Contains(made.out, Lines(checked.out).front().substr(9))) << made.out << checked.out;

  const ChildResult json = Flash({"--trust", Path("line.pub"), "--json", "check", Path("line.mxpkg")});
  ASSERT_EQ(json.exitStatus, 0) << json.err;
  const Json object = Json::parse(json.out);
  EXPECT_EQ(object.at("package"), Lines(checked.out).front().substr(9));
  EXPECT_EQ(object.at("manifest").at("serial").at("last"), 99);

  const ChildResult again = MakePackage("line.mxpkg", {});
  EXPECT_EQ(again.exitStatus, 2);
  EXPECT_TRUE(Contains(again.err, "exists already")) << again.err;
  const ChildResult outside = MakePackage("outside.mxpkg", {"--serial", "0x8000"});
  EXPECT_EQ(outside.exitStatus, 3);
  EXPECT_TRUE(Contains(outside.err, "the image's data does not hold")) << outside.err;
  EXPECT_FALSE(fs::exists(Path("outside.mxpkg")));
}

// A firmware team's key made by minisign itself seals packages as well.
TEST_F(Packages, AKeyMadeByMinisignSealsAPackage) {
  const ChildResult made = RunChild(
      {{MINISIGN_PATH, "-G", "-W", "-p", Path("m.pub"), "-s", Path("m.key")}, {{"HOME", files.Path().string()}}});
  ASSERT_EQ(made.exitStatus, 0) << made.err;
  ASSERT_EQ(MakePackage("line.mxpkg", {}, "m").exitStatus, 0);
  const ChildResult checked = Flash({"--trust", Path("m.pub"), "check", Path("line.mxpkg")});
  EXPECT_EQ(checked.exitStatus, 0) << checked.out << checked.err;
  EXPECT_EQ(Flash({"--trust", Path("line.pub"), "check", Path("line.mxpkg")}).exitStatus, 3);
}

TEST_F(Packages, RefusalsComeBeforeAnyPortAndSayWhereTheAdministratorsKeysGo) {
  ASSERT_EQ(MakePackage("line.mxpkg", {}).exitStatus, 0);
  ASSERT_EQ(MakePackage("other.mxpkg", {}, "other").exitStatus, 0);
  const std::string admin = mx::flash::AdminTrustedKeysFolder();

  const ChildResult untrusted =
      Flash({"--trust", Path("line.pub"), "station", Path("other.mxpkg"), "--port", kNoSuchPort});
  EXPECT_EQ(untrusted.exitStatus, 3);
  EXPECT_TRUE(Contains(untrusted.err, "Package refused") && Contains(untrusted.err, admin)) << untrusted.err;

  std::string bytes = ReadFile(Path("line.mxpkg"));
  bytes[bytes.size() / 2] ^= 1;
  files.Write("changed.mxpkg", bytes);
  const ChildResult changed = Flash({"--trust", Path("line.pub"), "station", Path("changed.mxpkg")});
  EXPECT_EQ(changed.exitStatus, 3);
  EXPECT_TRUE(Contains(changed.err, "Package refused")) << changed.err;

  for (const std::vector<std::string>& sealed : std::vector<std::vector<std::string>>{
           {"--serial", "0x10"}, {"--retries", "0"}, {"--read-gap", "5"}, {"--max-boards", "3"}}) {
    std::vector<std::string> args{"station", Path("line.mxpkg")};
    args.insert(args.end(), sealed.begin(), sealed.end());
    const ChildResult overridden = Flash(args);
    EXPECT_EQ(overridden.exitStatus, 2) << sealed.front();
    EXPECT_TRUE(Contains(overridden.err, sealed.front() + " is sealed in the package")) << overridden.err;
  }
  const ChildResult update = Flash({"update", Path("line.mxpkg")});
  EXPECT_EQ(update.exitStatus, 2);
  EXPECT_TRUE(Contains(update.err, "runs with station")) << update.err;
}

// An operator is not root: their --trust vouches for nothing.
TEST_F(Packages, AnOperatorsTrustDoesNotVouchForAPackage) {
  ASSERT_EQ(MakePackage("line.mxpkg", {}).exitStatus, 0);
  fs::permissions(files.Path(), fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
  for (const char* name : {"line.mxpkg", "line.pub"}) {
    fs::permissions(Path(name), fs::perms::others_read, fs::perm_options::add);
  }
  ChildLaunch launch = Launch({"--trust", Path("line.pub"), "check", Path("line.mxpkg")});
  launch.args.insert(launch.args.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  const ChildResult run = RunChild(launch);
  EXPECT_EQ(run.exitStatus, 3) << run.out << run.err;
  EXPECT_TRUE(Contains(run.err, "--trust counts for packages only as root")) << run.err;
}

TEST_F(Packages, AStationRunsThePackageAndItsBoardsNameIt) {
  ASSERT_EQ(MakePackage("line.mxpkg", {"--serial", "0x0200:u32be", "--serial-range", "7-9"}).exitStatus, 0);
  const std::string db = Path("boards.db");
  ChildProcess station(StationLaunch("line.mxpkg", portDirectory(), db));
  ASSERT_TRUE(station.WaitForOutput("\"watching\"", 10s)) << station.OutputSoFar();
  Device board;
  board.sim.Publish(portDirectory().string(), "board1");
  ASSERT_TRUE(station.WaitForOutput("\"board\":1", 60s)) << station.OutputSoFar();
  ::kill(station.Pid(), SIGINT);
  const ChildResult run = station.Finish(30s);
  const std::vector<Json> boards = JsonLines(run.out, "board");
  ASSERT_EQ(boards.size(), 1u) << run.out << run.err;
  EXPECT_EQ(boards[0].at("result"), "ok");
  EXPECT_EQ(boards[0].at("serial"), 7);
  const std::string id = boards[0].at("package");
  EXPECT_TRUE(Contains(run.err, "package " + id + " signed by key")) << run.err;

  const records::OpenedStore opened = records::OpenRecordStore(db, {"test", "reader"});
  ASSERT_TRUE(opened.store) << opened.error;
  const std::vector<records::BoardRecord> recorded = opened.store->Find({});
  ASSERT_EQ(recorded.size(), 1u);
  EXPECT_EQ(recorded[0].packageId, id);
  EXPECT_EQ(std::tie(recorded[0].keyId, recorded[0].trustedComment),
            std::tie(boards[0].at("key_id").get_ref<const std::string&>(),
                     boards[0].at("trusted_comment").get_ref<const std::string&>()));
  EXPECT_EQ(recorded[0].keyId.size(), 16u);
  EXPECT_EQ(recorded[0].serial, 7u);
}

// Two stations share one record file: two boards in all, then none, also
// for a station started afterwards.
TEST_F(Packages, MaxBoardsHoldsAcrossStationsAndRestarts) {
  ASSERT_EQ(MakePackage("line.mxpkg", {"--max-boards", "2"}).exitStatus, 0);
  const std::string db = Path("boards.db");
  const fs::path portsA = files.Path() / "portsA", portsB = files.Path() / "portsB";
  ChildProcess stationA(StationLaunch("line.mxpkg", portsA, db));
  ChildProcess stationB(StationLaunch("line.mxpkg", portsB, db));
  ASSERT_TRUE(stationA.WaitForOutput("\"watching\"", 10s)) << stationA.OutputSoFar();
  ASSERT_TRUE(stationB.WaitForOutput("\"watching\"", 10s)) << stationB.OutputSoFar();
  Device first, second, third;
  first.sim.Publish(portsA.string(), "boardA1");
  second.sim.Publish(portsB.string(), "boardB1");
  ASSERT_TRUE(stationA.WaitForOutput("\"board\":1", 60s)) << stationA.OutputSoFar();
  ASSERT_TRUE(stationB.WaitForOutput("\"board\":1", 60s)) << stationB.OutputSoFar();
  third.sim.Publish(portsA.string(), "boardA2");
  const ChildResult endedA = stationA.Finish(60s);  // ends by itself: the package's boards are used up
  EXPECT_EQ(endedA.exitStatus, 1) << endedA.err;
  EXPECT_TRUE(Contains(endedA.err, "the package's 2 boards (--max-boards) have been flashed")) << endedA.err;
  EXPECT_TRUE(third.sim.Memory().empty());
  ::kill(stationB.Pid(), SIGINT);
  stationB.Finish(30s);

  ChildProcess restarted(StationLaunch("line.mxpkg", portsB, db));
  ASSERT_TRUE(restarted.WaitForOutput("\"watching\"", 10s)) << restarted.OutputSoFar();
  Device fourth;
  fourth.sim.Publish(portsB.string(), "boardB2");
  const ChildResult ended = restarted.Finish(60s);
  EXPECT_EQ(ended.exitStatus, 1) << ended.err;
  EXPECT_TRUE(fourth.sim.Memory().empty());
  EXPECT_EQ(first.sim.Memory().size(), sample_.data.size());
  EXPECT_EQ(second.sim.Memory().size(), sample_.data.size());
}

}  // namespace
}  // namespace mx::test
