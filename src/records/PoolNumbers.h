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

inline std::int64_t StoredNumber(std::uint64_t number) {
  if (number > kHighestNumber) throw RecordStoreError("the serial number " + std::to_string(number) + " is too large");
  return static_cast<std::int64_t>(number);
}

}  // namespace mx::records
