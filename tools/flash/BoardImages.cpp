#include "BoardImages.h"

#include <algorithm>
#include <cstdio>

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
  std::lock_guard lock(mutex_);
  if (!usedUp_.empty()) return Refuse(usedUp_);
  BoardImage counted;
  if (std::string why = ReserveCount(counted); !why.empty()) return Refuse(std::move(why));
  BoardImage board = DrawWrites();
  board.count = counted.count;  // Finish settles it, written or not
  return board;
}

BoardImage BoardImages::DrawWrites() {
  BoardImage board;
  std::vector<BoardPatch> patches;
  if (writes_.BoardData()) {
    if (nextLine_ >= lines_.size()) {
      usedUp_ = "all " + std::to_string(lines_.size()) + " lines of board data " + writes_.boardDataFile +
                " have been used (" + UsedLinesPath(writes_.boardDataFile) + "): no more boards can be written";
      return Refuse(usedUp_);
    }
    const std::vector<std::uint8_t>& line = lines_[nextLine_];
    if (usedLines_ && !usedLines_->Append(std::to_string(nextLine_ + 1) + " " + HexText(line))) {
      return Refuse("the use of board data line " + std::to_string(nextLine_ + 1) + " could not be recorded in " +
                    UsedLinesPath(writes_.boardDataFile));
    }
    board.data = lines_[nextLine_++];
    patches.push_back({*writes_.boardDataAt, *board.data});
  }
  if (writes_.Serial()) {
    const records::ReserveResult reserved = store_->Reserve(writes_.pool);
    if (reserved.status == records::ReserveResult::Status::Exhausted) {
      usedUp_ = "the pool \"" + writes_.pool + "\" has no numbers left: no more boards can be written";
      if (!reserved.message.empty()) usedUp_ += " (" + reserved.message + ")";
      return Refuse(usedUp_);
    }
    if (reserved.status != records::ReserveResult::Status::Reserved) {
      return Refuse("no serial number could be reserved: " + reserved.message);
    }
    board.serial = reserved.reservation;
    const auto bytes = FormatNumber(reserved.reservation.number, writes_.serialFormat);
    if (!bytes) {  // the lowest free number is too large: so is every later one
      usedUp_ = "serial number " + std::to_string(reserved.reservation.number) + " does not fit " +
                writes_.serialFormat.Name() + ": no more boards can be written";
      board.refusal = usedUp_;
      return board;  // Finish gives the number back
    }
    patches.push_back({*writes_.serialAddress, *bytes});
  }
  board.image = PatchedImage(*image_, patches);
  return board;
}

std::string BoardImages::ReserveCount(BoardImage& board) {
  if (!writes_.maxBoards) return {};
  const records::ReserveResult reserved = store_->Reserve(writes_.BoardCountPool());
  if (reserved.status == records::ReserveResult::Status::Exhausted) {
    usedUp_ = "the package's " + std::to_string(*writes_.maxBoards) +
              " boards (--max-boards) have been flashed: no more boards can be written";
    return usedUp_;
  }
  if (reserved.status != records::ReserveResult::Status::Reserved) {
    return "no board of the package's --max-boards could be counted: " + reserved.message;
  }
  board.count = reserved.reservation;
  return {};
}

void BoardImages::SettleCount(const BoardImage& board, bool passed, std::string& error) {
  if (!board.count) return;
  try {
    store_->SettleCount(*board.count, passed);
  } catch (const records::RecordStoreError& settleError) {
    error += (error.empty() ? "" : "; ") + std::string(settleError.what());
  }
}

BoardImage BoardImages::Refuse(std::string why) {
  BoardImage board;
  board.refusal = std::move(why);
  return board;
}

std::string BoardImages::Finish(const BoardImage& board, records::BoardRecord record) {
  record.station = identity_.station;
  record.instance = identity_.instance;
  if (record.fileSha256.empty()) record.fileSha256 = image_->FileDigest();  // as read, before any patch
  if (board.serial && board.image) record.serial = board.serial->number;
  if (board.data) record.data = HexText(*board.data);
  record.packageId = writes_.packageId;
  const bool passed = board.image && record.result == records::kPassedResult;
  std::lock_guard lock(mutex_);
  if (!store_) return {};
  std::string error;
  try {
    store_->Finish(record, board.serial);
  } catch (const records::RecordStoreError& finishError) {
    error = finishError.what();
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
