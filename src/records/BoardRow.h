#pragma once

// A board's columns in the order of the shared statements (kInsertBoard's
// parameters, kSelectBoards' columns), for every store and the spool.

#include <cstdint>
#include <optional>
#include <string>

#include "records/RecordStore.h"

namespace mx::records {

// A board's own columns, kSelectBoards' all; kInsertBoard's parameters
// after them (from ?21 on) belong to the store.
inline constexpr int kBoardColumns = 20;
inline constexpr int kKeptPoolParameter = kBoardColumns + 1;

// Calls bind(index, value) for kInsertBoard's ?1..?20: the board with the
// number it holds (`serial`).
template <typename Bind>
void BindBoard(const BoardRecord& record, const std::optional<std::int64_t>& serial, Bind bind) {
  bind(1, record.station);
  bind(2, record.instance);
  bind(3, record.slot);
  bind(4, record.port);
  bind(5, record.started);
  bind(6, record.ended);
  bind(7, record.file);
  bind(8, record.fileSha256);
  bind(9, serial);
  bind(10, record.data);
  bind(11, record.oldVersion);
  bind(12, record.restorePoint);
  bind(13, record.bootloaderVersion);
  bind(14, record.result);
  bind(15, record.reason);
  bind(16, std::int64_t{record.attempts});
  bind(17, std::int64_t{record.interrupted ? 1 : 0});
  bind(18, record.packageId);
  bind(19, record.keyId);
  bind(20, record.trustedComment);
}

// The board of a row whose columns start with kSelectBoards' twenty.
template <typename Row>
BoardRecord ReadBoardRow(const Row& row) {
  BoardRecord board;
  board.station = row.Text(0);
  board.instance = row.Text(1);
  board.slot = row.Text(2);
  board.port = row.Text(3);
  board.started = row.Text(4);
  board.ended = row.Text(5);
  board.file = row.Text(6);
  board.fileSha256 = row.Text(7);
  if (auto serial = row.OptionalInt(8)) board.serial = static_cast<std::uint64_t>(*serial);
  board.data = row.OptionalText(9);
  board.oldVersion = row.Text(10);
  board.restorePoint = row.Text(11);
  board.bootloaderVersion = row.Text(12);
  board.result = row.Text(13);
  board.reason = row.Text(14);
  board.attempts = static_cast<int>(row.Int(15));
  board.interrupted = row.Int(16) != 0;
  board.packageId = row.Text(17);
  board.keyId = row.Text(18);
  board.trustedComment = row.Text(19);
  return board;
}

}  // namespace mx::records
