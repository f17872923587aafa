// Writes a 65,535-line Intel HEX file (about 1 MiB of data in 16-byte
// records), then times ReadFirmwareFile on it.
//
//   hex_bench [runs]   prints the fastest and the median run in milliseconds

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "update/FirmwareImage.h"

namespace {

constexpr std::size_t kLines = 65'535;
constexpr std::size_t kRecordsPerUpperWord = 4096;

std::string Record(std::uint8_t type, std::uint16_t address, const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(data.size()), static_cast<std::uint8_t>(address >> 8),
                                  static_cast<std::uint8_t>(address), type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  unsigned sum = 0;
  for (std::uint8_t byte : bytes) sum += byte;
  bytes.push_back(static_cast<std::uint8_t>(0x100 - (sum & 0xFF)));
  std::string line = ":";
  char pair[3];
  for (std::uint8_t byte : bytes) {
    std::snprintf(pair, sizeof pair, "%02X", byte);
    line += pair;
  }
  return line + "\r\n";
}

std::string MakeImage() {
  std::string text;
  std::size_t lines = 0;
  std::size_t records = 0;          // data records
  std::size_t nextUpperWordAt = 0;  // data record that needs a type-04 record first
  std::vector<std::uint8_t> data(16);
  while (lines + 1 < kLines) {
    if (records == nextUpperWordAt) {
      nextUpperWordAt += kRecordsPerUpperWord;
      const auto word = static_cast<std::uint16_t>(records / kRecordsPerUpperWord);
      text += Record(0x04, 0, {static_cast<std::uint8_t>(word >> 8), static_cast<std::uint8_t>(word)});
    } else {
      for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(records * 7 + i);
      text += Record(0x00, static_cast<std::uint16_t>((records % kRecordsPerUpperWord) * 16), data);
      ++records;
    }
    ++lines;
  }
  return text + ":00000001FF\r\n";
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  const std::filesystem::path path = std::filesystem::temp_directory_path() / "mx_hex_bench.hex";
  std::ofstream(path, std::ios::binary) << MakeImage();

  std::vector<double> times;
  mx::ImageReading reading;
  for (int run = 0; run < runs; ++run) {
    const auto start = std::chrono::steady_clock::now();
    reading = mx::ReadFirmwareFile(path.string());
    const auto stop = std::chrono::steady_clock::now();
    times.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
  }
  std::filesystem::remove(path);
  std::sort(times.begin(), times.end());
  std::printf("lines %zu, data records %d, %s\n", reading.linesExamined,
              reading.image ? reading.image->DataRecordCount() : 0,
              reading.image ? "accepted" : reading.refusal.c_str());
  std::printf("read: fastest %.2f ms, median %.2f ms over %d runs\n", times.front(), times[times.size() / 2], runs);
  return reading.image ? 0 : 1;
}
