// Firmware files named by the user that are no plain files: each is refused
// at once, unread, with the reason in the "Cannot open file" message.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "support/TempDir.h"
#include "update/FileAccess.h"
#include "update/FirmwareImage.h"

namespace mx {
namespace {

std::string Message(const std::string& path, const std::string& reason) {
  return "Cannot open file \"" + path + "\". " + reason;
}

TEST(ReadFirmwareFilePosix, RefusesWhatIsNoRegularFileWithoutBlocking) {
  test::TempDir dir;
  const std::string fifo = (dir.Path() / "named-pipe.hex").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);  // no writer: reading it would block for ever
  const std::string large = (dir.Path() / "large.hex").string();
  ASSERT_EQ(::truncate(dir.Write("large.hex", "").c_str(), static_cast<off_t>(kMaxHexFileBytes + 1)), 0);

  struct Case {
    std::string path;
    std::string reason;
  } const cases[] = {
      {fifo, kNotARegularFile},
      {"/dev/zero", kNotARegularFile},  // endless
      {dir.Path().string(), kNotARegularFile},
      {large, "Larger than 64 MiB"},
      {(dir.Path() / "missing.hex").string(), std::strerror(ENOENT)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const ImageReading reading = ReadFirmwareFile(c.path);
    EXPECT_EQ(reading.refusal, Message(c.path, c.reason));
    EXPECT_FALSE(reading.fileRead);
  }
}

TEST(ReadFirmwareFilePosix, ReadsAFileOfExactlyTheBound) {
  test::TempDir dir;
  const std::string path = dir.Write("bound.hex", ":00000001FF\n").string();
  ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(kMaxHexFileBytes)), 0);  // NULs after the text end it
  const ImageReading reading = ReadFirmwareFile(path);
  ASSERT_TRUE(reading.image) << reading.refusal;
  EXPECT_EQ(reading.linesExamined, 1u);
  EXPECT_EQ(reading.image->Records().size(), 1u);
}

}  // namespace
}  // namespace mx
