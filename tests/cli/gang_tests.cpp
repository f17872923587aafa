// mx7410-flash on several ports at once, its JSON Lines, and the check of a
// file without a device.

#include <map>
#include <nlohmann/json.hpp>

#include "Sha256.h"
#include "cli/CliFixture.h"
#include "update/FileAccess.h"

namespace mx::test {
namespace {

using Json = nlohmann::json;

std::vector<Json> JsonLines(const std::string& out) {
  std::vector<Json> objects;
  for (const std::string& line : Lines(out)) objects.push_back(Json::parse(line));  // throws on a bad line
  return objects;
}

std::vector<Json> Events(const std::vector<Json>& objects, const std::string& event) {
  std::vector<Json> found;
  for (const Json& object : objects) {
    if (object.at("event") == event) found.push_back(object);
  }
  return found;
}

class Gang : public Cli {
 protected:
  Gang() {
    sim::SimOptions silent;
    silent.silent = true;
    devices_.push_back(std::make_unique<Device>());
    devices_.push_back(std::make_unique<Device>(silent));
    devices_.push_back(std::make_unique<Device>());
  }
  std::vector<std::string> PortArguments() const {
    std::vector<std::string> arguments;
    for (const auto& device : devices_) arguments.insert(arguments.end(), {"--port", device->Port()});
    return arguments;
  }
  std::vector<std::string> With(std::vector<std::string> arguments) const {
    std::vector<std::string> all = PortArguments();
    all.insert(all.end(), arguments.begin(), arguments.end());
    return all;
  }
  void ExpectTheGoodBoardsFlashed(const std::string& file) {
    std::string why;
    EXPECT_TRUE(devices_[0]->sim.MatchesHexFile(file, &why)) << why;
    EXPECT_TRUE(devices_[2]->sim.MatchesHexFile(file, &why)) << why;
    EXPECT_TRUE(devices_[1]->sim.Memory().empty());
  }

  std::vector<std::unique_ptr<Device>> devices_;  // the middle one never answers
};

TEST_F(Gang, ASilentBoardFailsAloneAndDecidesTheExitStatus) {
  const std::string file = WriteImage(SampleImage(700, 0));
  const ChildResult run = Flash(With({"--wait", "1", "--quiet", "update", file}));
  EXPECT_EQ(run.exitStatus, 1) << run.out << run.err;
  ExpectTheGoodBoardsFlashed(file);

  const std::vector<std::string> lines = Lines(run.out);
  const std::string silent = devices_[1]->Port();
  EXPECT_NE(std::find(lines.begin(), lines.end(), silent + ": May be Not on Bootloader Connect fail!"), lines.end())
      << run.out;
  ASSERT_GE(lines.size(), 3u);
  // The summary closes the output, one line per port in the given order.
  EXPECT_EQ(lines[lines.size() - 3].rfind(devices_[0]->Port() + ": ok, ", 0), 0u) << run.out;
  EXPECT_EQ(lines[lines.size() - 2].rfind(silent + ": device-failed, May be Not on Bootloader Connect fail!", 0), 0u);
  EXPECT_EQ(lines[lines.size() - 1].rfind(devices_[2]->Port() + ": ok, ", 0), 0u);
}

TEST_F(Gang, JsonLinesCarryEveryPortsRecord) {
  const std::string file = WriteImage(SampleImage(3000, 0));
  const ChildResult run = Flash(With({"--wait", "1", "--json", "update", file}));
  EXPECT_EQ(run.exitStatus, 1) << run.err;
  ExpectTheGoodBoardsFlashed(file);

  const std::vector<Json> objects = JsonLines(run.out);
  for (const Json& object : objects) EXPECT_TRUE(object.contains("event")) << object;
  const std::vector<Json> starts = Events(objects, "start");
  ASSERT_EQ(starts.size(), 3u);
  for (const Json& start : starts) {
    EXPECT_EQ(start.at("command"), "update");
    EXPECT_EQ(start.at("file"), file);
  }
  for (const Json& object : objects) {
    // UTC, ISO 8601, milliseconds: "2026-12-09T04:46:15.123Z".
    const std::string time = object.at("time");
    EXPECT_EQ(time.size(), 24u) << time;
    EXPECT_EQ(time.substr(10, 1) + time.substr(19, 1) + time.substr(23), "T.Z") << time;
  }
  std::map<std::string, Json> lastProgress;
  for (const Json& progress : Events(objects, "progress")) {
    EXPECT_LE(progress.at("percent").get<int>(), 100);
    EXPECT_EQ(progress.at("bytes_total"), 3000);
    lastProgress[progress.at("port")] = progress;
  }
  for (const std::size_t good : {0u, 2u}) {  // a board written through ends at 100 %
    const Json& last = lastProgress.at(devices_[good]->Port());
    EXPECT_EQ(last.at("percent"), 100);
    EXPECT_EQ(last.at("bytes"), 3000);
  }
  const std::vector<Json> ends = Events(objects, "end");
  ASSERT_EQ(ends.size(), 3u);
  for (const Json& end : ends) {
    const bool silent = end.at("port") == devices_[1]->Port();
    EXPECT_EQ(end.at("exit"), silent ? 1 : 0) << end;
    EXPECT_EQ(end.at("result"), silent ? "device-failed" : "ok");
    EXPECT_GT(end.at("elapsed_s").get<double>(), 0);
    EXPECT_EQ(end.contains("bootloader_version"), !silent);
    if (!silent) {
      EXPECT_EQ(end.at("bootloader_version"), "1.1");
      EXPECT_EQ(end.at("old_version"), "010203");
      EXPECT_EQ(end.at("restore_point"), "010200");
      EXPECT_EQ(end.at("messages").back().get<std::string>().rfind("Finish Update! ", 0), 0u);
      EXPECT_EQ(end.at("file_sha256"), flash::Sha256Hex(ReadRegularFile(file, 1 << 20).bytes));
    }
  }
  const Json& summary = objects.back();
  EXPECT_EQ(summary.at("event"), "summary");
  EXPECT_EQ(summary.at("exit"), 1);
  EXPECT_EQ(summary.at("succeeded"), 2);
  EXPECT_EQ(summary.at("failed"), 1);
}

TEST_F(Cli, CheckSummarisesAnAcceptedFileAndRefusesABadOneWithoutADevice) {
  const SampleImage image(0x10000 + 300, 0);  // across the 64 KiB boundary
  const ChildResult accepted = Flash({"check", WriteImage(image)});
  EXPECT_EQ(accepted.exitStatus, 0) << accepted.err;
  EXPECT_EQ(Lines(accepted.out),
            (std::vector<std::string>{"data records: 4115", "data bytes: 65836", "first address: 0x000000",
                                      "last address: 0x01012B", "write blocks: 258"}));

  const std::string bad = files.Write("bad.hex", ":10000000000102030405060708090A0B0C0D0E0F00\r\n").string();
  const ChildResult refused = Flash({"check", bad});
  EXPECT_EQ(refused.exitStatus, 3);
  EXPECT_EQ(Lines(refused.out), std::vector<std::string>{"File import failure : Incompleted file."});

  const ChildResult json = Flash({"--json", "check", bad});
  EXPECT_EQ(json.exitStatus, 3);
  const Json object = Json::parse(json.out);
  EXPECT_EQ(object.at("result"), "file-refused");
  EXPECT_EQ(object.at("messages"), Json::array({"File import failure : Incompleted file."}));
  EXPECT_EQ(object.at("file_sha256"), flash::Sha256Hex(ReadRegularFile(bad, 1 << 20).bytes));
}

}  // namespace
}  // namespace mx::test
