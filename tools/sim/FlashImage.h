#pragma once

// The simulated flash contents, and their exchange with files: Intel HEX and
// raw binary out, Intel HEX in for comparison.

#include <cstdint>
#include <istream>
#include <map>
#include <optional>
#include <string>

namespace mx::sim {

// Address -> byte, for every byte written.
using MemoryMap = std::map<std::uint32_t, std::uint8_t>;

// Writes the bytes as Intel HEX: records of at most 16 bytes that never cross
// a 16-byte boundary, a type-04 record wherever the upper address word
// changes, and the end record. Throws std::runtime_error when the file cannot
// be written.
void WriteIntelHex(const MemoryMap& memory, const std::string& path);

// Writes the bytes from the lowest to the highest address, gaps filled with
// FF; an empty memory gives an empty file. Throws std::runtime_error.
void WriteBinaryImage(const MemoryMap& memory, const std::string& path);

// The data bytes of an Intel HEX text (record types 00, 01, 04), addressed as
// the host addresses them: of a type-04 upper word only the low byte counts
// (bits 16..23). Lines after the end record are not read. On a malformed
// line, returns nothing and sets `error`.
std::optional<MemoryMap> ParseIntelHex(std::istream& in, std::string* error);
std::optional<MemoryMap> ReadIntelHexFile(const std::string& path, std::string* error);

// True when both hold exactly the same addresses with the same values;
// otherwise `why` names the first difference and how many there are.
bool SameMemory(const MemoryMap& device, const MemoryMap& file, std::string* why);

}  // namespace mx::sim
