#include "BoardImages.h"

#include <algorithm>
#include <cstdio>
#include <exception>

#include "update/FileAccess.h"
#include "update/HexFile.h"

namespace mx::flash {

namespace {

// Far more lines than a production run flashes boards.
constexpr std::uintmax_t kMaxBoardDataBytes = std::uintmax_t{16} << 20;
constexpr std::size_t kShownLineChars = 40;

// "0x000FF0 to 0x000FF3"
std::string Span(std::uint32_t address, std::size_t length) {
  return DeviceAddressText(address) + " to " + DeviceAddressText(address + static_cast<std::uint32_t>(length) - 1);
}

std::string Shown(const std::string& line) {
  return line.size() > kShownLineChars ? line.substr(0, kShownLineChars) + "..." : line;
}

}  // namespace

std::string DeviceAddressText(std::uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%06X", address);
  return text;
}

BoardDataReading ReadBoardData(const std::string& path) {
  const FileContents file = ReadRegularFile(path, kMaxBoardDataBytes);
  if (!file.error.empty()) return {{}, 0, "cannot read board data " + path + ": " + file.error};
  return BoardDataFromText(file.bytes, path);
}

BoardDataReading BoardDataFromText(const std::string& text, const std::string& path) {
  BoardDataReading reading;
  const std::string name = "board data " + path;
  const std::vector<std::string> lines = SplitLines(text);
  for (std::size_t index = 0; index < lines.size(); ++index) {
    std::optional<std::vector<std::uint8_t>> bytes = ParseHexBytes(lines[index]);
    if (!bytes) {
      reading.error =
          name + ", line " + std::to_string(index + 1) + ": not a line of hex bytes: \"" + Shown(lines[index]) + "\"";
      reading.lines.clear();
      return reading;
    }
    reading.lines.push_back(std::move(*bytes));
  }
  if (reading.lines.empty()) reading.error = name + " holds no lines";
  const FileContents used = ReadRegularFile(UsedLinesPath(path), kMaxBoardDataBytes);
  if (used.error.empty()) reading.used = SplitLines(used.bytes).size();  // a missing file: none used
  return reading;
}

std::string UsedLinesPath(const std::string& boardDataPath) { return boardDataPath + ".used"; }

std::string CheckBoardWrites(const FirmwareImage& image, const BoardWrites& writes, const ByteLines& lines) {
  const std::size_t serialWidth = writes.Serial() ? writes.serialFormat.Width() : 0;
  if (writes.Serial() && !CoveredBy(image, *writes.serialAddress, serialWidth)) {
    return "--serial: the image's data does not hold all of " + Span(*writes.serialAddress, serialWidth) +
           ", where the number would go";
  }
  if (!writes.BoardData()) return {};
  const auto longest =
      std::max_element(lines.begin(), lines.end(), [](const auto& a, const auto& b) { return a.size() < b.size(); });
  if (longest == lines.end()) return "--board-data holds no lines";
  const std::uint32_t at = *writes.boardDataAt;
  if (!CoveredBy(image, at, longest->size())) {
    return "--board-data: the image's data does not hold all of " + Span(at, longest->size()) + ", where line " +
           std::to_string(longest - lines.begin() + 1) + " would go";
  }
  if (writes.Serial() && *writes.serialAddress < at + longest->size() && at < *writes.serialAddress + serialWidth) {
    return "--serial " + Span(*writes.serialAddress, serialWidth) + " and --board-data-at " +
           Span(at, longest->size()) + " overlap";
  }
  return {};
}

BoardImages::BoardImages(std::shared_ptr<const FirmwareImage> image, BoardWrites writes, BoardDataReading data,
                         std::unique_ptr<StationLog> usedLines, records::RecordStore* store,
                         records::StationIdentity identity)
    : image_(std::move(image)),
      writes_(std::move(writes)),
      lines_(std::move(data.lines)),
      usedLines_(std::move(usedLines)),
      store_(store),
      identity_(std::move(identity)),
      nextLine_(data.used) {}

BoardImage BoardImages::Draw() {
  if (UsedUp()) return Refuse(UsedUpText());
  BoardImage board;
  if (writes_.maxBoards && !ReserveCount(board)) return board;
  std::vector<BoardPatch> patches;
  if (writes_.Serial() && !ReserveNumber(board, patches)) {
    if (board.poolOutOfReach) GiveBackCount(board);  // the board draws again later
    return board;
  }
  if (writes_.BoardData() && !TakeLine(board, patches)) return board;  // Finish gives a number back
  board.image = patches.empty() ? image_ : PatchedImage(*image_, patches);
  return board;
}

// The reservation runs outside the lock: a server slow to answer holds up no
// board that needs no number.
bool BoardImages::ReserveNumber(BoardImage& board, std::vector<BoardPatch>& patches) {
  using Status = records::ReserveResult::Status;
  const auto asked = std::chrono::steady_clock::now();
  const records::ReserveResult reserved = store_->Reserve(writes_.pool);
  if (reserved.status == Status::Unreachable) {
    board.poolOutOfReach = true;
    board.refusal = "no serial number could be reserved: " + reserved.message;
    return false;
  }
  std::lock_guard lock(mutex_);
  if (reserved.status == Status::Exhausted) {
    usedUp_ = "the pool \"" + writes_.pool + "\" has no numbers left: no more boards can be written";
    if (!reserved.message.empty()) usedUp_ += " (" + reserved.message + ")";
    board.refusal = usedUp_;
    return false;
  }
  board.serial = reserved.reservation;
  board.reserveTime = std::chrono::steady_clock::now() - asked;
  const auto bytes = FormatNumber(reserved.reservation.number, writes_.serialFormat);
  if (!bytes) {  // the lowest free number is too large: so is every later one
    usedUp_ = "serial number " + std::to_string(reserved.reservation.number) + " does not fit " +
              writes_.serialFormat.Name() + ": no more boards can be written";
    board.refusal = usedUp_;
    return false;
  }
  patches.push_back({*writes_.serialAddress, *bytes});
  return true;
}

bool BoardImages::TakeLine(BoardImage& board, std::vector<BoardPatch>& patches) {
  std::lock_guard lock(mutex_);
  if (nextLine_ >= lines_.size()) {
    usedUp_ = "all " + std::to_string(lines_.size()) + " lines of board data " + writes_.boardDataFile +
              " have been used (" + UsedLinesPath(writes_.boardDataFile) + "): no more boards can be written";
    board.refusal = usedUp_;
    return false;
  }
  const std::vector<std::uint8_t>& line = lines_[nextLine_];
  if (usedLines_ && !usedLines_->Append(std::to_string(nextLine_ + 1) + " " + HexText(line))) {
    board.refusal = "the use of board data line " + std::to_string(nextLine_ + 1) + " could not be recorded in " +
                    UsedLinesPath(writes_.boardDataFile);
    return false;
  }
  board.data = lines_[nextLine_++];
  patches.push_back({*writes_.boardDataAt, *board.data});
  return true;
}

// A package's limit: the board's place among its --max-boards, reserved
// before anything else is taken for it. Like a number, it needs the pool.
bool BoardImages::ReserveCount(BoardImage& board) {
  using Status = records::ReserveResult::Status;
  const records::ReserveResult reserved = store_->Reserve(writes_.BoardCountPool());
  if (reserved.status == Status::Unreachable) {
    board.poolOutOfReach = true;
    board.refusal = "no board of the package's --max-boards could be counted: " + reserved.message;
    return false;
  }
  if (reserved.status == Status::Exhausted) {
    std::lock_guard lock(mutex_);
    usedUp_ = "the package's " + std::to_string(*writes_.maxBoards) +
              " boards (--max-boards) have been flashed: no more boards can be written";
    board.refusal = usedUp_;
    return false;
  }
  board.count = reserved.reservation;
  return true;
}

// A board that waits for its number holds no place meanwhile. A place that
// cannot be given back now stays this station's until it ends.
void BoardImages::GiveBackCount(BoardImage& board) {
  std::string ignored;
  SettleCount(board, false, ignored);
  board.count.reset();
}

void BoardImages::SettleCount(const BoardImage& board, bool passed, std::string& error) {
  if (!board.count) return;
  try {
    store_->SettleCount(*board.count, passed);
  } catch (const std::exception& settleError) {
    error += (error.empty() ? "" : "; ") + std::string(settleError.what());
  }
}

BoardImage BoardImages::Refuse(std::string why) {
  BoardImage board;
  board.refusal = std::move(why);
  return board;
}

// The store keeps its own lock; a record that cannot be kept is said, and
// the boards go on.
std::string BoardImages::Finish(const BoardImage& board, records::BoardRecord record) {
  if (!store_) return {};
  record.station = identity_.station;
  record.instance = identity_.instance;
  if (record.fileSha256.empty()) record.fileSha256 = image_->FileDigest();  // as read, before any patch
  if (board.serial && board.image) record.serial = board.serial->number;
  if (board.data) record.data = HexText(*board.data);
  record.packageId = writes_.packageId;
  record.keyId = writes_.keyId;
  record.trustedComment = writes_.trustedComment;
  const bool passed = board.image && record.result == records::kPassedResult;
  std::string error;
  try {
    store_->Finish(record, board.serial);
  } catch (const std::exception& finishError) {
    error = "the board's record could not be kept in " + store_->Location() + ": " + finishError.what();
  }
  SettleCount(board, passed, error);
  return error;
}

bool BoardImages::UsedUp() const {
  std::lock_guard lock(mutex_);
  return !usedUp_.empty();
}

std::string BoardImages::UsedUpText() const {
  std::lock_guard lock(mutex_);
  return usedUp_;
}

}  // namespace mx::flash
