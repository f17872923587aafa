#include "JsonEvent.h"

#include <cstdio>

#include "Sha256.h"

namespace mx::flash {

std::string UtcTimestamp(std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  const auto milliseconds = floor<std::chrono::milliseconds>(when);
  const auto day = floor<days>(milliseconds);
  const year_month_day date{day};
  const hh_mm_ss time{milliseconds - day};
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
  return text;
}

nlohmann::json JsonEvent(std::string_view name) {
  return {{"event", name}, {"time", UtcTimestamp(std::chrono::system_clock::now())}};
}

nlohmann::json NumberPoolWaitEvent(const std::string& port) {
  nlohmann::json event = JsonEvent("waiting");
  event.update({{"port", port}, {"for", "number-pool"}});
  return event;
}

void AddFileHash(nlohmann::json& object, const std::string& sha256) {
  if (!sha256.empty()) object["file_sha256"] = sha256;
}

}  // namespace mx::flash
