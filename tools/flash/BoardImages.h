#pragma once

// Each board's own image: the firmware read once, with the board's serial
// number from the record store's pool and its line of board data written in.
// Everything is checked before any port opens; a board draws its image after
// its bootloader has answered and before the erase, and hands it back when
// it ends, so a number that was not written returns to the pool.

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "StationLog.h"
#include "records/RecordStore.h"
#include "update/BoardPatch.h"
#include "update/FirmwareImage.h"

namespace mx::flash {

using ByteLines = std::vector<std::vector<std::uint8_t>>;

struct BoardDataReading {
  ByteLines lines;
  std::size_t used = 0;  // lines handed out by earlier runs, as FILE.used records them
  std::string error;     // "board data FILE, line 3: ..."; empty when read
};

// The lines of a --board-data file, every one checked: a line that is not
// hex bytes is refused with its number. Blank lines are refused too, as they
// would silently shift every later board's data.
BoardDataReading ReadBoardData(const std::string& path);
// The same for its text already read (from a sealed package at `path`).
BoardDataReading BoardDataFromText(const std::string& text, const std::string& path);

// FILE.used: one line for every line of FILE handed to a board, by this run
// or an earlier one, so that no line goes to two boards. Delete it to start
// again from the first line.
std::string UsedLinesPath(const std::string& boardDataPath);

// Why the image cannot take what each board gets (a range it does not cover,
// the number and the data over each other), for the operator; empty when it
// can. `lines` are the board data's.
std::string CheckBoardWrites(const FirmwareImage& image, const BoardWrites& writes, const ByteLines& lines);

// "0x000FF0": a device address as the operator reads it.
std::string DeviceAddressText(std::uint32_t address);

// One board's image and what went into it.
struct BoardImage {
  std::shared_ptr<const FirmwareImage> image;     // none: no board may be written
  std::optional<records::Reservation> serial;     // the number reserved for it
  std::chrono::duration<double> reserveTime{0};   // from asking for the number to holding it
  std::optional<std::vector<std::uint8_t>> data;  // its line of board data
  std::optional<records::Reservation> count;      // its place among a package's --max-boards
  std::string refusal;                            // when no image: why, for the operator
  bool poolOutOfReach = false;  // no image yet: the number pool could not be reached; draw again later
};

// The source of every board's image, shared by the runs on all ports; every
// member may be called from any thread.
class BoardImages {
 public:
  // `store` (may be null: nothing is recorded) outlives this. `data` is the
  // board data read; `usedLines` records each line as it is handed out (on
  // disk before the board gets it). `identity` goes into every record.
  BoardImages(std::shared_ptr<const FirmwareImage> image, BoardWrites writes, BoardDataReading data,
              std::unique_ptr<StationLog> usedLines, records::RecordStore* store, records::StationIdentity identity);

  // The next board's image: its number durably reserved, then its line of
  // data taken, so a board refused or told to wait for its number takes no
  // line. Once the numbers or the lines run out, every call refuses.
  BoardImage Draw();
  // The board has ended: its record goes to the store, with the number and
  // data it got. A board that did not pass gives its number back; its line
  // of data is never used again (it may have reached the board). Returns
  // why the record could not be kept, empty when it was.
  std::string Finish(const BoardImage& board, records::BoardRecord record);
  // No board can be written any more; UsedUpText says why.
  bool UsedUp() const;
  std::string UsedUpText() const;

 private:
  static BoardImage Refuse(std::string why);
  bool ReserveNumber(BoardImage& board, std::vector<BoardPatch>& patches);
  bool TakeLine(BoardImage& board, std::vector<BoardPatch>& patches);
  bool ReserveCount(BoardImage& board);
  void GiveBackCount(BoardImage& board);
  void SettleCount(const BoardImage& board, bool passed, std::string& error);

  const std::shared_ptr<const FirmwareImage> image_;
  const BoardWrites writes_;
  const ByteLines lines_;
  const std::unique_ptr<StationLog> usedLines_;
  records::RecordStore* const store_;
  const records::StationIdentity identity_;
  mutable std::mutex mutex_;
  std::size_t nextLine_ = 0;
  std::string usedUp_;  // why no board can be written; empty while boards can
};

}  // namespace mx::flash
