// Feeds arbitrary bytes to the reply receiver in chunks of arbitrary size
// with arbitrary options, passes what it found through the receive log, and
// checks what both say they produced.
//
// Input: byte 0 picks the options, byte 1 seeds the chunk sizes, the rest is
// the received data.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "actions/ReceiveLog.h"
#include "protocol/ReplyParser.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

// A logged frame starts with its two sync bytes and fits the accumulator;
// what followed its end byte in the same chunk is logged with it.
bool IsLoggedWhole(const mx::LogEntry& entry) {
  const auto* frame = std::get_if<mx::LoggedFrame>(&entry);
  if (frame == nullptr) return true;
  const std::vector<std::uint8_t>& bytes = frame->bytes;
  return bytes.size() >= 3 && bytes.size() <= mx::ReplyReceiver::kCapacity && bytes[0] == 0x55 && bytes[1] == 0x55 &&
         std::find(bytes.begin() + 2, bytes.end(), 0x04) != bytes.end();
}

bool IsHexText(const std::string& text) {
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return text.size() % 2 == 0;
}

void CheckResult(const mx::ReceiveResult& result, const mx::ReplyReceiver& receiver,
                 const mx::ReceiveOptions& options) {
  bool versionFound = false;
  for (const mx::LogEntry& entry : result.log) {
    Require(IsLoggedWhole(entry));
    versionFound = versionFound || std::holds_alternative<mx::VersionReply>(entry);
  }
  Require(versionFound == result.version.has_value());
  // While the wizard waits, frames are only seen, never taken as replies.
  Require(!options.wizardWaiting || !result.reply);
  if (result.reply) {
    // A chunk yields an answer of the device, never the end of a wait.
    const mx::Reply reply = *result.reply;
    Require(reply != mx::Reply::None && !mx::GaveUp(reply));
  }
  Require(!result.version || result.reply);
  Require(receiver.Armed());
}

void CheckLog(const std::vector<mx::LogEntry>& taken, const mx::ReceiveResult& result, const mx::ReceiveLog& log,
              std::uint16_t countBefore) {
  // Every entry taken counts, up to the counter's end; versions are never left out.
  Require(log.Count() == std::min<std::size_t>(0xFFFF, countBefore + taken.size()));
  Require(taken.size() <= result.log.size());
  const auto versions = [](const std::vector<mx::LogEntry>& entries) {
    return std::count_if(entries.begin(), entries.end(),
                         [](const mx::LogEntry& entry) { return std::holds_alternative<mx::VersionReply>(entry); });
  };
  Require(versions(taken) == versions(result.log));
  Require(IsHexText(log.OldVersionHex()) && IsHexText(log.RestorePointHex()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint8_t flags = data[0];
  std::uint32_t chunkSeed = data[1] | 1u;
  std::span<const std::uint8_t> rest(data + 2, size - 2);

  const bool logFrames = (flags & 0x01) != 0;
  const mx::ReceiveOptions options{(flags & 0x02) != 0};

  mx::ReplyReceiver receiver;
  receiver.Arm();
  mx::ReceiveLog log;
  if (flags & 0x20) {
    // Near the counter's end: versions are taken whatever the count.
    log.Take(std::vector<mx::LogEntry>(0xFFFF - (flags >> 6), mx::VersionReply{}), false);
  }
  while (!rest.empty()) {
    chunkSeed = chunkSeed * 1103515245u + 12345u;
    const std::size_t chunk = 1 + (chunkSeed >> 16) % 64;
    const std::size_t take = chunk < rest.size() ? chunk : rest.size();
    const std::uint16_t countBefore = log.Count();
    const mx::ReceiveResult result = receiver.Feed(rest.first(take), options);
    CheckResult(result, receiver, options);
    CheckLog(log.Take(result.log, logFrames), result, log, countBefore);
    rest = rest.subspan(take);
  }

  mx::DigitsToInt(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
