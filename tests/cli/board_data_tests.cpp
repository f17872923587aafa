// mx7410-flash writing each board's own bytes: lines of board data, one per
// board and never one twice, in the simulators' memories; what the image
// cannot hold is refused before any port opens.

#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

#include "cli/CliFixture.h"
#include "cli/JsonLines.h"

namespace mx::test {
namespace {

using Json = nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kDataAt = 0x0100;

Bytes BytesAt(const Device& device, std::uint32_t address, std::size_t count) {
  const std::map<std::uint32_t, std::uint8_t> memory = device.sim.Memory();
  Bytes bytes;
  for (std::uint32_t offset = 0; offset < count; ++offset) {
    const auto found = memory.find(address + offset);
    if (found != memory.end()) bytes.push_back(found->second);
  }
  return bytes;
}

class BoardData : public Cli {
 protected:
  std::string WriteLines(const std::string& text) { return files.Write("macs.txt", text).string(); }

  const SampleImage image_{1024, 0};
  const std::string file_ = WriteImage(image_);
};

TEST_F(BoardData, EachBoardGetsTheNextLineAndNoLineGoesTwice) {
  const std::string macs = WriteLines("00:1A:2B:3C:4D:01\n00-1A-2B-3C-4D-02\n001A2B3C4D03\n");
  Device first, second, third;
  const ChildResult two = Flash({"update", file_, "--json", "-p", first.Port(), "-p", second.Port(), "--board-data",
                                 macs, "--board-data-at", "0x100"});
  ASSERT_EQ(two.exitStatus, 0) << two.out << two.err;
  const std::set<Bytes> written{BytesAt(first, kDataAt, 6), BytesAt(second, kDataAt, 6)};
  EXPECT_EQ(written, (std::set<Bytes>{{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x01}, {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x02}}));
  std::set<std::string> reported;
  for (const Json& end : JsonLines(two.out, "end")) reported.insert(end.at("board_data").get<std::string>());
  EXPECT_EQ(reported, (std::set<std::string>{"001A2B3C4D01", "001A2B3C4D02"}));

  // A later run goes on where the earlier one stopped; apart from its own
  // bytes, every board holds the file.
  const ChildResult next = Flash({"update", file_, "-p", third.Port(), "--board-data", macs, "--board-data-at", "256"});
  ASSERT_EQ(next.exitStatus, 0) << next.out << next.err;
  EXPECT_EQ(BytesAt(third, kDataAt, 6), (Bytes{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x03}));
  SampleImage expected = image_;
  std::copy_n(BytesAt(third, kDataAt, 6).begin(), 6, expected.data.begin() + kDataAt);
  EXPECT_EQ(third.sim.Memory().size(), image_.data.size());
  EXPECT_TRUE(third.sim.MatchesHexFile(files.Write("expected.hex", expected.Text()).string()));

  Device fourth;  // every line is used now: the board is left as it was
  const ChildResult none =
      Flash({"update", file_, "-p", fourth.Port(), "--board-data", macs, "--board-data-at", "256"});
  EXPECT_EQ(none.exitStatus, 1);
  EXPECT_TRUE(Contains(none.err, "all 3 lines of board data")) << none.err;
  EXPECT_TRUE(fourth.sim.Memory().empty());
  EXPECT_FALSE(Contains(none.out, "Finish Update"));
}

// A station whose board data runs out takes no new board: the board that
// comes then is not erased, and the station ends by itself.
TEST_F(BoardData, AStationEndsWhenTheLinesAreUsedUp) {
  const std::string macs = WriteLines("0A0B0C0D0E01\n0A0B0C0D0E02\n");
  fs::create_directories(portDirectory());
  ChildProcess station(Launch({"station", file_, "--json", "--board-data", macs, "--board-data-at", "0x100"}));
  ASSERT_TRUE(station.WaitForOutput("\"watching\"", 10s)) << station.OutputSoFar();
  std::vector<std::unique_ptr<Device>> boards;
  for (const char* name : {"boardA", "boardB", "boardC"}) {
    boards.push_back(std::make_unique<Device>());
    boards.back()->sim.Publish(portDirectory().string(), name);
    const std::string count = "\"board\":" + std::to_string(boards.size());
    ASSERT_TRUE(station.WaitForOutput(count, 60s)) << station.OutputSoFar();
  }
  const ChildResult run = station.Finish(30s);
  EXPECT_EQ(run.exitStatus, 1) << run.err;
  EXPECT_TRUE(Contains(run.err, "the station takes no new board")) << run.err;
  const std::vector<Json> records = JsonLines(run.out, "board");
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].at("board_data"), "0A0B0C0D0E01");
  EXPECT_EQ(records[1].at("board_data"), "0A0B0C0D0E02");
  EXPECT_EQ(records[2].at("result"), "device-failed");
  EXPECT_EQ(BytesAt(*boards[1], kDataAt, 6), (Bytes{0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x02}));
  EXPECT_TRUE(boards[2]->sim.Memory().empty());
}

// Numbers from the pool 1-2: a board that fails gives its number back to
// the next; once the pool is used up the board that comes is left as it was.
TEST_F(BoardData, AStationNumbersItsBoardsFromThePool) {
  const std::string db = (files.Path() / "boards.db").string();
  fs::create_directories(portDirectory());
  ChildProcess station(Launch({"station", file_, "--json", "--wait", "1", "--retries", "0", "--serial", "0x0200:u32be",
                               "--serial-range", "1-2", "--db", db}));
  ASSERT_TRUE(station.WaitForOutput("\"watching\"", 10s)) << station.OutputSoFar();
  sim::SimOptions dropsAReply;
  dropsAReply.dropReplyToBlock = 2;  // fails before the block that holds the number
  std::vector<std::unique_ptr<Device>> boards;
  for (const sim::SimOptions& options : {sim::SimOptions{}, dropsAReply, sim::SimOptions{}, sim::SimOptions{}}) {
    boards.push_back(std::make_unique<Device>(options));
    boards.back()->sim.Publish(portDirectory().string(), "board" + std::to_string(boards.size()));
    ASSERT_TRUE(station.WaitForOutput("\"board\":" + std::to_string(boards.size()), 60s)) << station.OutputSoFar();
  }
  const ChildResult run = station.Finish(30s);
  EXPECT_EQ(run.exitStatus, 1) << run.err;
  EXPECT_TRUE(Contains(run.err, "the pool \"default\" has no numbers left")) << run.err;
  const std::vector<Json> records = JsonLines(run.out, "board");
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].at("serial"), 1);
  EXPECT_GE(records[0].at("serial_reserve_s").get<double>(), 0.0);
  EXPECT_EQ(records[1].at("result"), "device-failed");
  EXPECT_EQ(records[2].at("serial"), 2);
  EXPECT_FALSE(records[3].contains("serial"));
  EXPECT_FALSE(records[3].contains("serial_reserve_s"));
  EXPECT_EQ(BytesAt(*boards[0], 0x0200, 4), (Bytes{0, 0, 0, 1}));
  EXPECT_EQ(BytesAt(*boards[1], 0x0200, 4), Bytes{});
  EXPECT_EQ(BytesAt(*boards[2], 0x0200, 4), (Bytes{0, 0, 0, 2}));
  EXPECT_TRUE(boards[3]->sim.Memory().empty());
}

TEST_F(BoardData, WhatTheImageCannotHoldTouchesNoPort) {
  Device board;
  const std::string macs = WriteLines("001A2B3C4D5E\n");
  const std::vector<std::vector<std::string>> refused{
      {"--serial", "0x0400"},                                                     // past the image's last byte
      {"--serial", "0x03FE:u32be"},                                               // its last two bytes
      {"--board-data", macs, "--board-data-at", "0x03FC"},                        // the line's last two
      {"--serial", "0x0100", "--board-data", macs, "--board-data-at", "0x0102"},  // over each other
  };
  for (const auto& options : refused) {
    std::vector<std::string> args{"update", file_, "-p", board.Port()};
    args.insert(args.end(), options.begin(), options.end());
    const ChildResult run = Flash(args);
    EXPECT_EQ(run.exitStatus, 3) << Joined(options) << run.err;
    EXPECT_TRUE(Contains(run.err, "does not hold all of") || Contains(run.err, "overlap")) << run.err;
  }
  const std::string broken = files.Write("broken.txt", "001A2B3C4D5E\n\n001A2B3C4D5F\n").string();
  const ChildResult malformed = Flash({"station", file_, "--board-data", broken, "--board-data-at", "0"});
  EXPECT_EQ(malformed.exitStatus, 3);
  EXPECT_TRUE(Contains(malformed.err, "broken.txt, line 2: not a line of hex bytes")) << malformed.err;
  EXPECT_TRUE(board.sim.ReceivedBytes().empty());
  EXPECT_FALSE(fs::exists(files.Path() / "macs.txt.used"));
}

TEST_F(BoardData, CheckShowsWhereEachBoardsBytesWouldGo) {
  HexImage twice;
  twice.Bytes(0, Pattern(64)).End().Data(0x0010, Pattern(16, 1));  // a second copy behind the end
  const std::string file = files.Write("twice.hex", twice.Text()).string();
  const ChildResult check = Flash({"check", file, "--serial", "0x000E:dec:4"});
  ASSERT_EQ(check.exitStatus, 0) << check.err;
  EXPECT_TRUE(Contains(check.out,
                       "serial number (dec:4) at 0x00000E to 0x000011:\n"
                       "  data record 1 (from 0x000000) bytes 0x00000E to 0x00000F\n"
                       "  data record 2 (from 0x000010) bytes 0x000010 to 0x000011\n"
                       "  data record 5 (from 0x000010) bytes 0x000010 to 0x000011, behind the end record\n"))
      << check.out;
  const ChildResult outside = Flash({"check", file, "--json", "--serial", "0x0040"});
  EXPECT_EQ(outside.exitStatus, 3);
  EXPECT_EQ(Json::parse(outside.out).at("result"), "file-refused") << outside.out;
}

}  // namespace
}  // namespace mx::test
