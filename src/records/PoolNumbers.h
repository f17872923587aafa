#pragma once

// The rules of a pool's numbers that every store applies alike.

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "records/RecordStore.h"

namespace mx::records {

// Numbers are stored as signed 64-bit, and the search looks one past a taken one.
inline constexpr std::uint64_t kHighestNumber = std::numeric_limits<std::int64_t>::max() - 1;

inline std::string RangeText(const PoolRange& range) {
  return std::to_string(range.first) + ".." + (range.last ? std::to_string(*range.last) : std::string());
}

inline std::optional<std::string> RangeProblem(const PoolRange& range) {
  if (range.last && *range.last < range.first) return "the range " + RangeText(range) + " holds no number";
  if (range.first > kHighestNumber || range.last.value_or(0) > kHighestNumber) {
    return "the range " + RangeText(range) + " goes beyond " + std::to_string(kHighestNumber);
  }
  return std::nullopt;
}

// Why `pool` with `range` cannot be opened in any store; nothing when it can.
inline std::optional<std::string> PoolProblem(const std::string& pool, const PoolRange& range) {
  if (pool.empty()) return "a pool needs a name";
  if (auto problem = RangeProblem(range)) return "pool \"" + pool + "\": " + *problem;
  return std::nullopt;
}

// Why an existing pool with the `stored` range in `location` is not the one
// asked for; nothing when it is.
inline std::optional<std::string> RangeMismatch(const std::string& pool, const PoolRange& stored,
                                                const PoolRange& range, const std::string& location) {
  if (stored.first == range.first && stored.last == range.last) return std::nullopt;
  return "pool \"" + pool + "\" has the numbers " + RangeText(stored) + " in " + location + ", not " + RangeText(range);
}

inline std::int64_t StoredNumber(std::uint64_t number) {
  if (number > kHighestNumber) throw RecordStoreError("the serial number " + std::to_string(number) + " is too large");
  return static_cast<std::int64_t>(number);
}

// Whether a finished board keeps its reservation's number: only a passed one
// does, and only if it holds no other. Throws RecordStoreError when it does.
inline bool KeepsNumber(const BoardRecord& record, const std::optional<Reservation>& reservation) {
  const bool keeps = reservation && record.result == kPassedResult;
  if (keeps && record.serial && *record.serial != reservation->number) {
    throw RecordStoreError("the board of slot " + record.slot + " holds " + std::to_string(*record.serial) +
                           ", not its reserved number " + std::to_string(reservation->number));
  }
  return keeps;
}

// The number a board is recorded with: its pool's when it keeps it, else the one it was given, if any.
inline std::optional<std::int64_t> RecordedNumber(const BoardRecord& record, const std::optional<Reservation>& kept) {
  if (kept) return StoredNumber(kept->number);
  if (record.serial) return StoredNumber(*record.serial);
  return std::nullopt;
}

}  // namespace mx::records
