#pragma once

// Golden files: a test's text output kept under version control and compared
// line by line. With MX_WRITE_GOLDENS=1 in the environment the files are
// written instead of compared (review the diff before committing them).

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace mx::test {

inline bool WritingGoldens() {
  const char* value = std::getenv("MX_WRITE_GOLDENS");
  return value != nullptr && std::string(value) == "1";
}

inline std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Compares `actual` with the file at `path`, naming the first line that
// differs; writes the file instead when MX_WRITE_GOLDENS=1.
inline void ExpectMatchesGolden(const std::filesystem::path& path, const std::string& actual) {
  if (WritingGoldens()) {
    std::ofstream(path, std::ios::binary) << actual;
    return;
  }
  ASSERT_TRUE(std::filesystem::exists(path)) << path << " is missing: run with MX_WRITE_GOLDENS=1";
  const std::vector<std::string> expected = SplitLines(ReadFile(path));
  const std::vector<std::string> got = SplitLines(actual);
  for (std::size_t i = 0; i < std::min(expected.size(), got.size()); ++i) {
    ASSERT_EQ(got[i], expected[i]) << path.filename() << " line " << i + 1 << "; whole trace:\n" << actual;
  }
  ASSERT_EQ(got.size(), expected.size()) << path.filename() << " differs in length; whole trace:\n" << actual;
}

}  // namespace mx::test
