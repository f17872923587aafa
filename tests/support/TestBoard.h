#pragma once

// A board record as the record tests write it.

#include <string>

#include "records/RecordStore.h"

namespace mx::test {

// Slot `slot` of station-1's instance-1, started and ended at `started`
// (UTC, the stored form) with `result`; a board that did not pass says why.
inline records::BoardRecord TestBoard(const std::string& slot, const std::string& started = "2026-12-09T10:00:00.000Z",
                                      const std::string& result = records::kPassedResult) {
  records::BoardRecord board;
  board.station = "station-1";
  board.instance = "instance-1";
  board.slot = slot;
  board.port = "/dev/ttyUSB0";
  board.started = started;
  board.ended = started;
  board.file = "firmware.hex";
  board.fileSha256 = "ab12";
  board.result = result;
  board.reason = result == records::kPassedResult ? "" : "no answer";
  return board;
}

}  // namespace mx::test
