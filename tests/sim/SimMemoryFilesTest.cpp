// The flash memory against Intel HEX files, and its dumps.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "HostPort.h"
#include "sim/SimulatedBootloader.h"

namespace mx::sim::test {
namespace {

// One byte AB at A2 01, address 0x010000: body 02 01 00 00 01 AB sums to AF.
const Bytes kHighBlock = Hex("55 55 02 01 00 00 01 AB 51 04");
// One byte 77 at 0x0512: A1 05 escaped; body sums to 91.
const Bytes kGapBlock = Hex("55 55 02 01 12 05 05 00 77 6F 04");

// The worked example as a HEX record: 16 bytes at 0500.
const char* const kWorkedExampleRecord = ":100500000102030405060708090A0B0C0D0E0F551E\n";
const char* const kEndRecord = ":00000001FF\n";

void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class SimMemoryFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_.Start();
    port_ = std::make_unique<HostPort>(sim_.PortPath());
  }
  void Write(const Bytes& frame) { ASSERT_EQ(port_->Exchange(frame, kWriteAccepted.size()), kWriteAccepted); }
  bool Matches(const std::string& hexText, std::string* why = nullptr) {
    WriteFile(dir_.File("image.hex"), hexText);
    return sim_.MatchesHexFile(dir_.File("image.hex"), why);
  }

  TempDir dir_;
  SimulatedBootloader sim_;
  std::unique_ptr<HostPort> port_;
};

TEST_F(SimMemoryFiles, MatchesExactlyTheFileThatWasWritten) {
  Write(kWorkedExample);
  EXPECT_TRUE(Matches(std::string(kWorkedExampleRecord) + kEndRecord));
  EXPECT_TRUE(Matches(std::string(":020000040000FA\r\n") + kWorkedExampleRecord + kEndRecord + "junk after the end\n"));
}

TEST_F(SimMemoryFiles, ReportsWhereMemoryAndFileDiffer) {
  Write(kWorkedExample);
  const struct {
    const char* name;
    std::string file;
    const char* mentions;
  } cases[] = {
      {"other value", std::string(":100500000102030405060708090A0B0C0D0E0F561D\n") + kEndRecord, "0x00050F"},
      {"byte not written", std::string(kWorkedExampleRecord) + ":01051000AA40\n" + kEndRecord, "0x000510"},
      {"byte not in file", std::string(":0F0500000102030405060708090A0B0C0D0E0F74\n") + kEndRecord, "0x00050F"},
      {"empty file", kEndRecord, "16 byte(s)"},
      {"bad record checksum", std::string(":100500000102030405060708090A0B0C0D0E0F551F\n") + kEndRecord, "line 1"},
      {"unsupported type", std::string(":020000021000EC\n") + kEndRecord, "line 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string why;
    EXPECT_FALSE(Matches(c.file, &why));
    EXPECT_NE(why.find(c.mentions), std::string::npos) << why;
  }
  std::string why;
  EXPECT_FALSE(sim_.MatchesHexFile(dir_.File("missing.hex"), &why));
  EXPECT_FALSE(why.empty());
}

TEST_F(SimMemoryFiles, UpperAddressBitsAboveTwentyFourAreDroppedAsTheHostDoes) {
  Write(kHighBlock);
  // Upper word 0101: only its low byte 01 reaches the device as A2.
  EXPECT_TRUE(Matches(std::string(":020000040101F8\n:01000000AB54\n") + kEndRecord));
  EXPECT_FALSE(Matches(std::string(":020000040002F8\n:01000000AB54\n") + kEndRecord));
}

TEST_F(SimMemoryFiles, HexDumpHoldsTheMemoryAndMatchesItself) {
  Write(kWorkedExample);
  Write(kHighBlock);
  sim_.WriteHex(dir_.File("dump.hex"));
  EXPECT_EQ(ReadFile(dir_.File("dump.hex")),
            std::string(kWorkedExampleRecord) + ":020000040001F9\n:01000000AB54\n" + kEndRecord);
  EXPECT_TRUE(sim_.MatchesHexFile(dir_.File("dump.hex")));
}

TEST_F(SimMemoryFiles, BinaryDumpFillsGapsWithFF) {
  Write(kWorkedExample);
  Write(kGapBlock);
  sim_.WriteBinary(dir_.File("dump.bin"));
  const std::string expected = std::string("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C\x0D\x0E\x0F\x55", 16) +
                               std::string("\xFF\xFF\x77", 3);
  EXPECT_EQ(ReadFile(dir_.File("dump.bin")), expected);
}

TEST(SimMemoryDumps, EmptyMemoryGivesEndRecordAndEmptyBinary) {
  TempDir dir;
  SimulatedBootloader sim;
  sim.WriteHex(dir.File("empty.hex"));
  sim.WriteBinary(dir.File("empty.bin"));
  EXPECT_EQ(ReadFile(dir.File("empty.hex")), kEndRecord);
  EXPECT_EQ(ReadFile(dir.File("empty.bin")), "");
  EXPECT_THROW(sim.WriteHex(dir.File("no/such/dir/x.hex")), std::runtime_error);
}

}  // namespace
}  // namespace mx::sim::test
