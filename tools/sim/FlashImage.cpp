#include "sim/FlashImage.h"

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace mx::sim {

namespace {

constexpr std::uint8_t kDataRecord = 0x00;
constexpr std::uint8_t kEndRecord = 0x01;
constexpr std::uint8_t kExtendedLinearAddress = 0x04;

std::string RecordLine(std::uint16_t offset, std::uint8_t type, const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(data.size()), static_cast<std::uint8_t>(offset >> 8),
                                  static_cast<std::uint8_t>(offset & 0xFF), type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  unsigned sum = 0;
  for (std::uint8_t b : bytes) sum += b;
  bytes.push_back(static_cast<std::uint8_t>(0x100 - (sum & 0xFF)));
  std::string line = ":";
  for (std::uint8_t b : bytes) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02X", b);
    line += pair;
  }
  return line + "\n";
}

// Collects the run of consecutive bytes starting at `it`, up to the next
// 16-byte boundary.
std::vector<std::uint8_t> TakeRecordData(MemoryMap::const_iterator& it, MemoryMap::const_iterator end) {
  std::vector<std::uint8_t> data;
  std::uint32_t next = it->first;
  do {
    data.push_back(it->second);
    ++it;
    ++next;
  } while (it != end && it->first == next && next % 16 != 0);
  return data;
}

std::ofstream OpenForWriting(const std::string& path) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  return out;
}

void FinishWriting(std::ofstream& out, const std::string& path) {
  out.flush();
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string Hex32(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%06X", static_cast<unsigned>(value));
  return text;
}

std::string Hex8(std::uint8_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X", value);
  return text;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The record's bytes (count, address, type, data, checksum), or nothing.
std::optional<std::vector<std::uint8_t>> DecodeRecord(const std::string& line, std::string* problem) {
  if (line[0] != ':') {
    *problem = "does not start with ':'";
    return std::nullopt;
  }
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 1; i + 1 < line.size(); i += 2) {
    const int high = HexDigit(line[i]);
    const int low = HexDigit(line[i + 1]);
    if (high < 0 || low < 0) break;  // anything after the checksum is ignored
    bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  if (bytes.empty() || bytes.size() < bytes[0] + 5u) {
    *problem = "record is shorter than its byte count or not hexadecimal";
    return std::nullopt;
  }
  bytes.resize(bytes[0] + 5u);
  unsigned sum = 0;
  for (std::uint8_t b : bytes) sum += b;
  if (sum % 256 != 0) {
    *problem = "checksum error";
    return std::nullopt;
  }
  return bytes;
}

void SetError(std::string* error, std::string text) {
  if (error) *error = std::move(text);
}

}  // namespace

void WriteIntelHex(const MemoryMap& memory, const std::string& path) {
  std::ofstream out = OpenForWriting(path);
  std::uint32_t upper = 0;
  for (auto it = memory.begin(); it != memory.end();) {
    const std::uint32_t address = it->first;
    if (address >> 16 != upper) {
      upper = address >> 16;
      out << RecordLine(0, kExtendedLinearAddress,
                        {static_cast<std::uint8_t>(upper >> 8), static_cast<std::uint8_t>(upper & 0xFF)});
    }
    out << RecordLine(static_cast<std::uint16_t>(address & 0xFFFF), kDataRecord, TakeRecordData(it, memory.end()));
  }
  out << RecordLine(0, kEndRecord, {});
  FinishWriting(out, path);
}

void WriteBinaryImage(const MemoryMap& memory, const std::string& path) {
  std::ofstream out = OpenForWriting(path);
  if (!memory.empty()) {
    const std::uint32_t first = memory.begin()->first;
    std::vector<char> image(memory.rbegin()->first - first + 1, static_cast<char>(0xFF));
    for (const auto& [address, value] : memory) image[address - first] = static_cast<char>(value);
    out.write(image.data(), static_cast<std::streamsize>(image.size()));
  }
  FinishWriting(out, path);
}

std::optional<MemoryMap> ParseIntelHex(std::istream& in, std::string* error) {
  MemoryMap memory;
  std::uint32_t base = 0;
  std::string line;
  for (int lineNumber = 1; std::getline(in, line); ++lineNumber) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
    if (line.empty()) continue;
    std::string problem;
    const auto record = DecodeRecord(line, &problem);
    if (!record) {
      SetError(error, "line " + std::to_string(lineNumber) + ": " + problem);
      return std::nullopt;
    }
    const std::vector<std::uint8_t>& r = *record;
    const std::uint8_t type = r[3];
    if (type == kEndRecord) return memory;
    if (type == kExtendedLinearAddress && r[0] >= 2) {
      base = static_cast<std::uint32_t>(r[5]) << 16;  // the high byte r[4] is dropped, as the host does
    } else if (type == kExtendedLinearAddress) {
      SetError(error, "line " + std::to_string(lineNumber) + ": type-04 record without an address word");
      return std::nullopt;
    } else if (type == kDataRecord) {
      const std::uint32_t offset = (static_cast<std::uint32_t>(r[1]) << 8) | r[2];
      for (std::size_t i = 0; i < r[0]; ++i) memory[base + offset + static_cast<std::uint32_t>(i)] = r[4 + i];
    } else {
      SetError(error, "line " + std::to_string(lineNumber) + ": unsupported record type " + Hex8(type));
      return std::nullopt;
    }
  }
  return memory;
}

std::optional<MemoryMap> ReadIntelHexFile(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    SetError(error, "cannot open " + path);
    return std::nullopt;
  }
  return ParseIntelHex(in, error);
}

bool SameMemory(const MemoryMap& device, const MemoryMap& file, std::string* why) {
  std::size_t differences = 0;
  std::string first;
  auto note = [&](std::string text) {
    if (differences++ == 0) first = std::move(text);
  };
  auto d = device.begin();
  auto f = file.begin();
  while (d != device.end() || f != file.end()) {
    if (f == file.end() || (d != device.end() && d->first < f->first)) {
      note(Hex32(d->first) + " was written (" + Hex8(d->second) + ") but is not in the file");
      ++d;
    } else if (d == device.end() || f->first < d->first) {
      note(Hex32(f->first) + " was not written (file has " + Hex8(f->second) + ")");
      ++f;
    } else {
      if (d->second != f->second) note(Hex32(d->first) + " holds " + Hex8(d->second) + ", file has " + Hex8(f->second));
      ++d;
      ++f;
    }
  }
  if (differences > 0 && why) *why = std::to_string(differences) + " byte(s) differ; first: " + first;
  return differences == 0;
}

}  // namespace mx::sim
