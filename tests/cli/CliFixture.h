#pragma once

// mx7410-flash end to end: the built program runs as a child process against
// simulated bootloaders on real pseudo-terminals in this process.

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "cli/ChildProcess.h"
#include "sim/SimulatedBootloader.h"
#include "support/HexWriter.h"
#include "support/TempDir.h"

namespace mx::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline constexpr const char* kFlash = MX7410_FLASH_PATH;

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

inline std::string Joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
  return text;
}

inline bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A simulated device, started, optionally published for the automatic choice.
struct Device {
  sim::SimulatedBootloader sim;
  explicit Device(sim::SimOptions options = {}) : sim(std::move(options)) { sim.Start(); }
  std::string Port() const { return sim.PortPath(); }

  // The bytes received once everything sent before the child ended is in.
  std::vector<std::uint8_t> ReceivedAfter(std::size_t frames) {
    sim.WaitForFrames(frames, 5s);
    return sim.ReceivedBytes();
  }
};

class Cli : public ::testing::Test {
 protected:
  void TearDown() override {
    // The command line never writes the window's settings file, anywhere.
    EXPECT_TRUE(fs::is_empty(home.Path()));
    EXPECT_FALSE(fs::exists(fs::path(kFlash).parent_path() / "Comport.ini"));
  }

  ChildLaunch Launch(std::vector<std::string> args) const {
    ChildLaunch launch;
    launch.args = {kFlash};
    launch.args.insert(launch.args.end(), args.begin(), args.end());
    // A station records every board in the user's data folder: here, a test's own.
    launch.env = {{"HOME", home.Path().string()},
                  {"XDG_CONFIG_HOME", home.Path().string()},
                  {"XDG_DATA_HOME", data.Path().string()},
                  {"LOCALAPPDATA", data.Path().string()},
                  {"MX7410_PORT_DIR", portDirectory().string()}};
    return launch;
  }

  ChildResult Flash(std::vector<std::string> args) const { return RunChild(Launch(std::move(args))); }

  fs::path portDirectory() const { return files.Path() / "ports"; }

  std::string WriteImage(const SampleImage& image, const std::string& name = "image.hex") const {
    return files.Write(name, image.Text()).string();
  }

  // The record file a station uses without --db.
  fs::path DefaultRecords() const { return data.Path() / "mx7410" / "records.sqlite"; }

  TempDir home;
  TempDir data;
  TempDir files;
};

}  // namespace mx::test
