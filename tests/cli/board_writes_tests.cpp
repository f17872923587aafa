// The options for what each board gets written, and the board data's
// lines handed out one by one, without a device.

#include <gtest/gtest.h>

#include <fstream>

#include "BoardImages.h"
#include "CommandLine.h"
#include "support/HexWriter.h"
#include "support/TempDir.h"

namespace mx::flash {
namespace {

using Action = ParsedCommandLine::Action;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(BoardWriteOptions, TakeAddressesFormatsAndRanges) {
  const ParsedCommandLine parsed = ParseCommandLine(
      {"station", "fw.hex", "--serial", "0x0FF0:dec:8", "--serial-range", "100-99999999", "--pool", "line2", "--db",
       "boards.db", "--station", "bench", "--board-data", "macs.txt", "--board-data-at=4096"});
  ASSERT_EQ(parsed.action, Action::Run) << parsed.error;
  const BoardWrites& writes = parsed.options.boardWrites;
  EXPECT_EQ(writes.serialAddress, 0x0FF0u);
  EXPECT_EQ(writes.serialFormat.Name(), "dec:8");
  EXPECT_EQ(writes.serialFirst, 100u);
  EXPECT_EQ(writes.serialLast, 99999999u);
  EXPECT_EQ(writes.pool, "line2");
  EXPECT_EQ(writes.database, "boards.db");
  EXPECT_EQ(writes.station, "bench");
  EXPECT_EQ(writes.boardDataAt, 4096u);

  const BoardWrites defaults = ParseCommandLine({"update", "fw.hex", "--serial", "16"}).options.boardWrites;
  EXPECT_EQ(defaults.serialAddress, 16u);
  EXPECT_EQ(defaults.serialFormat.Name(), "u32le");
  EXPECT_EQ(defaults.serialFirst, 1u);
  EXPECT_FALSE(defaults.serialLast);
  EXPECT_EQ(defaults.pool, "default");
  EXPECT_TRUE(defaults.UsesStore());
  // update, wizard and station record their boards in the store --db names.
  EXPECT_EQ(ParseCommandLine({"update", "fw.hex", "--db", "boards.db"}).action, Action::Run);
  EXPECT_EQ(ParseCommandLine({"station", "fw.hex", "--db", "boards.db", "--station", "bench"}).action, Action::Run);
  EXPECT_EQ(ParseCommandLine({"station", "fw.hex", "--station", "bench"}).action, Action::Run);
  // No end: numbers that outgrow the format end the station when they come.
  EXPECT_EQ(ParseCommandLine({"update", "fw.hex", "--serial", "0:u16le", "--serial-range", "65535"}).action,
            Action::Run);
}

TEST(BoardWriteOptions, RefuseWhatCannotWork) {
  struct Case {
    std::vector<std::string> args;
    std::string error;
  };
  const std::string formats =
      "--serial wants a FORMAT of u32le, u32be, u16le, u16be, u64le, dec:N (1 to 20) or "
      "hex:N (1 to 16), not ";
  const std::vector<Case> cases{
      {{"update", "f", "--serial", "0x1000000"},
       "--serial wants a device address from 0 to 0xFFFFFF (hex with 0x, or decimal), not \"0x1000000\""},
      {{"update", "f", "--serial", "0FF0"},
       "--serial wants a device address from 0 to 0xFFFFFF (hex with 0x, or decimal), not \"0FF0\""},
      {{"update", "f", "--serial", "16:u24le"}, formats + "\"u24le\""},
      {{"update", "f", "--serial", "16:dec:0"}, formats + "\"dec:0\""},
      {{"update", "f", "--serial", "16:u16be", "--serial-range", "1-65536"},
       "--serial u16be holds numbers up to 65535, and the range reaches 65536"},
      {{"update", "f", "--serial", "16:dec:4", "--serial-range", "10000"},
       "--serial dec:4 holds numbers up to 9999, and the range reaches 10000"},
      {{"update", "f", "--serial", "0xFFFFFE"}, "--serial: the number would end past address 0xFFFFFF"},
      {{"update", "f", "--serial", "16", "--serial-range", "5-4"},
       "--serial-range wants FIRST or FIRST-LAST, whole numbers with FIRST <= LAST, not \"5-4\""},
      {{"update", "f", "--serial-range", "5"}, "--serial-range and --pool go with --serial"},
      {{"update", "f", "--station", "bench"}, "--station goes with --serial or --db"},
      {{"check", "f", "--db", "x.db"}, "--db goes with --serial or --board-data"},
      {{"update", "f", "--board-data", "m.txt"}, "--board-data and --board-data-at go together"},
      {{"update", "f", "--board-data-at", "0"}, "--board-data and --board-data-at go together"},
      {{"restore", "f", "--serial", "16"}, "--serial and --board-data go with update, wizard, station and check"},
      {{"connect", "--db", "x.db"}, "--serial and --board-data go with update, wizard, station and check"},
      {{"update", "f", "--pool="}, "--pool wants a value"},
  };
  for (const Case& c : cases) {
    const ParsedCommandLine parsed = ParseCommandLine(c.args);
    EXPECT_EQ(parsed.action, Action::UsageError) << ::testing::PrintToString(c.args);
    EXPECT_EQ(parsed.error, c.error) << ::testing::PrintToString(c.args);
  }
}

class BoardDataFile : public ::testing::Test {
 protected:
  std::shared_ptr<const FirmwareImage> Image() const {
    return std::make_shared<const FirmwareImage>(SplitLines(test::HexImage().Bytes(0, test::Pattern(64)).End().Text()));
  }
  BoardWrites Writes(const std::string& path) const {
    BoardWrites writes;
    writes.boardDataFile = path;
    writes.boardDataAt = 0x20;
    return writes;
  }
  test::TempDir dir_;
};

TEST_F(BoardDataFile, RefusesAMalformedLineByItsNumber) {
  EXPECT_EQ(ReadBoardData(dir_.Write("a.txt", "0102\r\n01:02:0\r\n").string()).error,
            "board data " + (dir_.Path() / "a.txt").string() + ", line 2: not a line of hex bytes: \"01:02:0\"");
  EXPECT_TRUE(Contains(ReadBoardData(dir_.Write("b.txt", "").string()).error, "holds no lines"));
  EXPECT_TRUE(Contains(ReadBoardData((dir_.Path() / "none.txt").string()).error, "cannot read board data"));
}

TEST_F(BoardDataFile, HandsOutEachLineOnceAcrossRuns) {
  const std::string path = dir_.Write("macs.txt", "A1A2\nB1B2B3\nC1\n").string();
  const auto run = [&] {
    return std::make_unique<BoardImages>(Image(), Writes(path), ReadBoardData(path),
                                         std::make_unique<StationLog>(UsedLinesPath(path)), nullptr,
                                         records::StationIdentity{});
  };
  const auto first = run();
  const BoardImage a = first->Draw();
  ASSERT_TRUE(a.image);
  EXPECT_EQ(a.data, (std::vector<std::uint8_t>{0xA1, 0xA2}));
  EXPECT_EQ(a.image->Records()[2].data[0], 0xA1);  // 0x20, the third record
  EXPECT_EQ(Image()->Records()[2].data[0], test::Pattern(64)[0x20]);
  EXPECT_TRUE(first->Draw().image);
  EXPECT_FALSE(first->UsedUp());

  const auto second = run();  // an earlier run used two lines
  EXPECT_EQ(second->Draw().data, (std::vector<std::uint8_t>{0xC1}));
  const BoardImage none = second->Draw();
  EXPECT_FALSE(none.image);
  EXPECT_TRUE(second->UsedUp());
  EXPECT_EQ(none.refusal, second->UsedUpText());
  EXPECT_EQ(ReadBoardData(path).used, 3u);
}

TEST_F(BoardDataFile, ChecksTheLongestLineAgainstTheImage) {
  BoardWrites writes = Writes("macs.txt");
  EXPECT_EQ(CheckBoardWrites(*Image(), writes, {{1}, std::vector<std::uint8_t>(32, 0)}), "");
  EXPECT_EQ(CheckBoardWrites(*Image(), writes, {{1}, std::vector<std::uint8_t>(33, 0)}),
            "--board-data: the image's data does not hold all of 0x000020 to 0x000040, where line 2 would go");
  writes.serialAddress = 0x1E;
  EXPECT_EQ(CheckBoardWrites(*Image(), writes, {{1, 2}}),
            "--serial 0x00001E to 0x000021 and --board-data-at 0x000020 to 0x000021 overlap");
}

// Numbers from a real record store in a temporary SQLite file.
class SerialNumbers : public BoardDataFile {
 protected:
  std::unique_ptr<records::RecordStore> Store(const std::string& pool, records::PoolRange range) const {
    records::OpenedStore opened =
        records::OpenRecordStore((dir_.Path() / "boards.db").string(), {"bench", "instance-1"});
    EXPECT_TRUE(opened.store) << opened.error;
    EXPECT_EQ(opened.store->OpenPool(pool, range), std::nullopt);
    return std::move(opened.store);
  }
  static BoardWrites SerialAt(std::uint32_t address, const char* format) {
    BoardWrites writes;
    writes.serialAddress = address;
    writes.serialFormat = *ParseNumberFormat(format);
    return writes;
  }
  // Each a board of its own: the store keeps a board once, however often it is told.
  records::BoardRecord Ended(const char* result) {
    records::BoardRecord record;
    record.slot = record.port = "sim0";
    record.started = "2026-12-09T23:00:0" + std::to_string(boardsEnded_++) + ".000Z";
    record.result = result;
    return record;
  }
  int boardsEnded_ = 0;
};

TEST_F(SerialNumbers, AFailedBoardGivesItsNumberBackAndANumberThatDoesNotFitEndsTheBoards) {
  const auto store = Store("default", {65534, std::nullopt});
  BoardImages boards(Image(), SerialAt(0x10, "u16be"), {}, nullptr, store.get(), {"bench", "instance-1"});
  const BoardImage first = boards.Draw();
  ASSERT_TRUE(first.image) << first.refusal;
  EXPECT_EQ(first.serial->number, 65534u);
  EXPECT_EQ(first.image->Records()[1].data[0], 0xFF);  // 0x10: the second record
  EXPECT_EQ(first.image->Records()[1].data[1], 0xFE);
  EXPECT_EQ(boards.Finish(first, Ended("device-failed")), "");

  const BoardImage again = boards.Draw();  // the failed board's number
  ASSERT_TRUE(again.image);
  EXPECT_EQ(again.serial->number, 65534u);
  EXPECT_EQ(boards.Finish(again, Ended("ok")), "");
  const BoardImage last = boards.Draw();
  EXPECT_EQ(last.serial->number, 65535u);
  EXPECT_EQ(boards.Finish(last, Ended("ok")), "");

  const BoardImage tooLarge = boards.Draw();
  EXPECT_FALSE(tooLarge.image);
  EXPECT_EQ(tooLarge.refusal, "serial number 65536 does not fit u16be: no more boards can be written");
  EXPECT_TRUE(boards.UsedUp());
  EXPECT_EQ(boards.Finish(tooLarge, Ended("device-failed")), "");
  const std::vector<records::BoardRecord> recorded = store->Find({});
  ASSERT_EQ(recorded.size(), 4u);
  EXPECT_EQ(recorded[1].serial, 65534u);
  EXPECT_EQ(recorded[1].station, "bench");
  EXPECT_EQ(recorded[1].fileSha256, Image()->FileDigest());
  EXPECT_FALSE(recorded[3].serial);  // nothing was written into it
}

TEST_F(SerialNumbers, AnEndedPoolRefusesEveryLaterBoard) {
  const auto store = Store("line", {7, 7});
  BoardWrites writes = SerialAt(0x10, "dec:2");
  writes.pool = "line";
  BoardImages boards(Image(), writes, {}, nullptr, store.get(), {"bench", "instance-1"});
  const BoardImage seven = boards.Draw();
  ASSERT_TRUE(seven.image);
  EXPECT_EQ(seven.image->Records()[1].data[0], '0');
  EXPECT_EQ(seven.image->Records()[1].data[1], '7');
  EXPECT_FALSE(boards.Draw().image);
  EXPECT_TRUE(boards.UsedUp());
  EXPECT_TRUE(Contains(boards.UsedUpText(), "the pool \"line\" has no numbers left")) << boards.UsedUpText();
}

// The number is reserved before the line is taken: a board refused its
// number takes no line, and one refused its line gives its number back.
TEST_F(SerialNumbers, ABoardWithoutANumberTakesNoLineOfBoardData) {
  const auto store = Store("line", {7, 7});
  const std::string path = dir_.Write("macs.txt", "A1\nB1\n").string();
  BoardWrites writes = Writes(path);
  writes.serialAddress = 0x10;
  writes.pool = "line";
  BoardImages boards(Image(), writes, ReadBoardData(path), std::make_unique<StationLog>(UsedLinesPath(path)),
                     store.get(), {"bench", "instance-1"});
  ASSERT_TRUE(boards.Draw().image);
  EXPECT_FALSE(boards.Draw().image);
  EXPECT_EQ(ReadBoardData(path).used, 1u);

  const std::string oneLine = dir_.Write("one.txt", "C1\n").string();
  writes = Writes(oneLine);
  writes.serialAddress = 0x10;
  ASSERT_EQ(store->OpenPool("default", {1, std::nullopt}), std::nullopt);
  BoardImages lines(Image(), writes, ReadBoardData(oneLine), nullptr, store.get(), {"bench", "instance-1"});
  EXPECT_EQ(lines.Finish(lines.Draw(), Ended("ok")), "");
  const BoardImage noLine = lines.Draw();
  ASSERT_FALSE(noLine.image);
  EXPECT_EQ(noLine.serial->number, 2u);
  EXPECT_EQ(lines.Finish(noLine, Ended("device-failed")), "");
  EXPECT_EQ(store->Reserve("default").reservation.number, 2u);  // back in the pool
}

}  // namespace
}  // namespace mx::flash
