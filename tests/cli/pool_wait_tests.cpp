// A station on a PostgreSQL server that goes out of reach: a board that
// needs a serial number waits for it, without failing, and gets it once the
// server is back; a board stopped while it waits is recorded as interrupted.

#include <libpq-fe.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "cli/CliFixture.h"
#include "cli/JsonLines.h"

namespace mx::test {
namespace {

using Json = nlohmann::json;

void Server(const char* action) {
  char command[1024];
  std::snprintf(command, sizeof command, MX_PG_TEST_SERVER, action);
  ASSERT_EQ(std::system(command), 0) << command;
}

// Each test has a schema of its own on the shared server.
class PoolWait : public Cli {
 protected:
  void SetUp() override {
    const char* server = std::getenv("MX_PG_TEST_DB");
    ASSERT_NE(server, nullptr) << "MX_PG_TEST_DB names the test server";
    std::string schema = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::transform(schema.begin(), schema.end(), schema.begin(), ::tolower);
    PGconn* admin = PQconnectdb(server);
    ASSERT_EQ(PQstatus(admin), CONNECTION_OK) << PQerrorMessage(admin);
    for (const std::string& statement : {"DROP SCHEMA IF EXISTS " + schema + " CASCADE", "CREATE SCHEMA " + schema})
      PQclear(PQexec(admin, statement.c_str()));
    PQfinish(admin);
    db_ = std::string(server) + " options='-csearch_path=" + schema + "'";
    fs::create_directories(portDirectory());
  }
  void TearDown() override {
    if (paused_) Server("resume");
    Cli::TearDown();
  }

  std::unique_ptr<ChildProcess> StartStation() {
    auto station = std::make_unique<ChildProcess>(
        Launch({"station", file_, "--json", "--wait", "1", "--db", db_, "--serial", "0x0100", "--pool", "wait"}));
    EXPECT_TRUE(station->WaitForOutput("\"watching\"", 20s)) << station->OutputSoFar();
    return station;
  }
  // The station's board on a port of its own, once the server is out of reach.
  std::unique_ptr<Device> PlugWhileTheServerIsDown(ChildProcess& station) {
    Server("pause");
    paused_ = true;
    auto board = std::make_unique<Device>();
    board->sim.Publish(portDirectory().string(), "boardA");
    EXPECT_TRUE(station.WaitForOutput("\"number-pool\"", 60s)) << station.OutputSoFar();
    return board;
  }

  std::string db_;
  bool paused_ = false;
  const std::string file_ = WriteImage(SampleImage(512, 0));
};

TEST_F(PoolWait, ABoardWaitsForItsNumberUntilTheServerIsBack) {
  const auto station = StartStation();
  const auto board = PlugWhileTheServerIsDown(*station);
  Server("resume");
  paused_ = false;
  ASSERT_TRUE(station->WaitForOutput("\"board\":1", 60s)) << station->OutputSoFar();
  ::kill(station->Pid(), SIGINT);
  const ChildResult run = station->Finish(20s);
  EXPECT_EQ(run.exitStatus, 130) << run.err;
  EXPECT_TRUE(Contains(run.err, "waiting for the number pool")) << run.err;

  const std::vector<Json> waits = JsonLines(run.out, "waiting");
  ASSERT_EQ(waits.size(), 1u) << run.out;  // once, however long it waits
  EXPECT_EQ(waits[0].at("port"), (portDirectory() / "boardA").string());
  EXPECT_EQ(waits[0].at("for"), "number-pool");
  const std::vector<Json> ended = JsonLines(run.out, "board");
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0].at("result"), "ok") << ended[0];
  EXPECT_EQ(ended[0].at("serial"), 1);
  EXPECT_EQ(board->sim.Memory().at(0x0100), 1);  // u32le

  const ChildResult recorded = Flash({"records", "--db", db_, "--json"});
  ASSERT_EQ(recorded.exitStatus, 0) << recorded.err;
  const std::vector<std::string> rows = Lines(recorded.out);
  ASSERT_EQ(rows.size(), 1u) << recorded.out;
  EXPECT_EQ(Json::parse(rows[0]).at("serial"), 1);
  EXPECT_EQ(Json::parse(rows[0]).at("result"), "ok");
}

TEST_F(PoolWait, ABoardStoppedWhileItWaitsIsRecordedAsInterrupted) {
  const auto station = StartStation();
  const auto board = PlugWhileTheServerIsDown(*station);
  ::kill(station->Pid(), SIGTERM);
  const ChildResult run = station->Finish(20s);
  EXPECT_EQ(run.exitStatus, 143) << run.err;
  const std::vector<Json> ended = JsonLines(run.out, "board");
  ASSERT_EQ(ended.size(), 1u) << run.out;
  EXPECT_EQ(ended[0].at("interrupted"), true);
  EXPECT_FALSE(ended[0].contains("serial"));
  EXPECT_TRUE(board->sim.Memory().empty());  // never erased

  Server("resume");  // the record was kept in the spool while the server was away
  paused_ = false;
  Device next;  // a later station sends it
  const auto later = StartStation();
  next.sim.Publish(portDirectory().string(), "boardB");
  ASSERT_TRUE(later->WaitForOutput("\"board\":1", 60s)) << later->OutputSoFar();
  ::kill(later->Pid(), SIGINT);
  later->Finish(20s);
  const ChildResult recorded = Flash({"records", "--db", db_, "--json"});
  const std::vector<std::string> rows = Lines(recorded.out);
  ASSERT_EQ(rows.size(), 2u) << recorded.out << recorded.err;
  EXPECT_EQ(Json::parse(rows[0]).at("interrupted"), true);
  EXPECT_TRUE(Json::parse(rows[0]).at("serial").is_null());
  EXPECT_EQ(Json::parse(rows[1]).at("serial"), 1);  // the waiting board took no number
}

}  // namespace
}  // namespace mx::test
