// Stations sharing one record file: what the thread and the process tests
// of the number pools have in common.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "records/RecordStore.h"
#include "support/TempDir.h"
#include "support/TestBoard.h"

namespace mx::records {

// Reserves `count` numbers and records a board for each: odd turns fail and
// give their number back. Returns the numbers its passed boards kept.
inline std::vector<std::uint64_t> RunStation(RecordStore& store, const std::string& slot, int count) {
  std::vector<std::uint64_t> kept;
  for (int turn = 0; turn < count; ++turn) {
    const ReserveResult reserved = store.Reserve("boards");
    if (reserved.status != ReserveResult::Status::Reserved) throw RecordStoreError(reserved.message);
    BoardRecord board =
        test::TestBoard(slot, std::to_string(1000 + turn), turn % 2 == 0 ? kPassedResult : "port-failed");
    board.instance = slot;
    store.Finish(board, reserved.reservation);
    if (turn % 2 == 0) kept.push_back(reserved.reservation.number);
  }
  return kept;
}

class PoolTest : public ::testing::Test {
 protected:
  std::unique_ptr<RecordStore> Open(const std::string& instance, const StoreOptions& options = {}) {
    OpenedStore opened = OpenRecordStore(file_, {"station-1", instance}, options);
    if (!opened.store) throw RecordStoreError(opened.error);
    return std::move(opened.store);
  }
  void SetUp() override { EXPECT_EQ(Open("setup")->OpenPool("boards", {1, std::nullopt}), std::nullopt); }

  // The serial numbers of the passed boards, each once, lowest first.
  std::vector<std::uint64_t> PassedNumbers() {
    std::vector<std::uint64_t> numbers;
    RecordQuery passed;
    passed.result = kPassedResult;
    for (const auto& board : Open("check")->Find(passed)) numbers.push_back(board.serial.value());
    std::sort(numbers.begin(), numbers.end());
    return numbers;
  }
  static std::vector<std::uint64_t> OneTo(std::uint64_t last) {
    std::vector<std::uint64_t> numbers;
    for (std::uint64_t n = 1; n <= last; ++n) numbers.push_back(n);
    return numbers;
  }

  test::TempDir dir_;
  std::string file_ = (dir_.Path() / "records.sqlite").string();
};

}  // namespace mx::records
