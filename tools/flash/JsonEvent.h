#pragma once

// The parts every JSON object of mx7410-flash shares: its event name and the
// moment it was made, so that a record read later can be put in order.

#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace mx::flash {

// "2026-12-09T04:46:15.123Z": UTC, ISO 8601, milliseconds.
std::string UtcTimestamp(std::chrono::system_clock::time_point when);

// {"event": name, "time": now}; the caller adds the rest.
nlohmann::json JsonEvent(std::string_view name);

// {"event": "waiting", "time", "port", "for": "number-pool"}: a board on
// `port` waits for its serial number while the pool is out of reach.
nlohmann::json NumberPoolWaitEvent(const std::string& port);

// The SHA-256 (lower-case hex) of the bytes a run read, when it read any.
void AddFileHash(nlohmann::json& object, const std::string& sha256);

}  // namespace mx::flash
