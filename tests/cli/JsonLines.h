#pragma once

// The objects of one event in mx7410-flash's JSON Lines output.

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/CliFixture.h"

namespace mx::test {

inline std::vector<nlohmann::json> JsonLines(const std::string& text, const std::string& event) {
  std::vector<nlohmann::json> objects;
  for (const std::string& line : Lines(text)) {
    nlohmann::json object = nlohmann::json::parse(line);
    if (object.at("event") == event) objects.push_back(std::move(object));
  }
  return objects;
}

}  // namespace mx::test
