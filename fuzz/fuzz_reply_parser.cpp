// Feeds arbitrary bytes to the reply receiver in chunks of arbitrary size
// with arbitrary options, and checks what it says it produced.
//
// Input: byte 0 picks the options, byte 1 seeds the chunk sizes, the rest is
// the received data.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "protocol/ReplyParser.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

bool EndsWithLineBreak(const std::string& line) {
  return line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0;
}

bool IsHexText(const std::string& text) {
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return text.size() % 2 == 0;
}

void CheckResult(const mx::ReceiveResult& result, const mx::ReplyReceiver& receiver) {
  for (const std::string& line : result.memoLines) Require(EndsWithLineBreak(line));
  if (result.reply) {
    // A chunk yields an answer of the device, never the end of a wait.
    const mx::Reply reply = *result.reply;
    Require(reply != mx::Reply::None && !mx::GaveUp(reply));
  }
  Require(!result.version || result.reply);
  Require(!result.version || result.version->lines.size() == 3);
  Require(IsHexText(receiver.oldVersionHex) && IsHexText(receiver.restorePointHex));
  Require(receiver.Armed());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint8_t flags = data[0];
  std::uint32_t chunkSeed = data[1] | 1u;
  std::span<const std::uint8_t> rest(data + 2, size - 2);

  // Texts with the lengths and bytes of the window's, English or not.
  static const mx::ReceiveTexts kEnglish{
      "Command Received",   "Restore",    "Update Wizard", "Command checksum checked.",
      "Bootloader Version", "OldVersion", "RestorePoint"};
  static const mx::ReceiveTexts kChinese{"指令就緒 ",       "還原",     "更新精靈", "指令檢查就緒",
                                         "Bootloader 版本", "目前版本", "還原點"};
  const mx::ReceiveTexts* texts = nullptr;
  if (flags & 0x08) texts = (flags & 0x10) ? &kChinese : &kEnglish;
  const mx::ReceiveOptions options{(flags & 0x01) != 0, (flags & 0x02) != 0, (flags & 0x04) != 0, texts};

  mx::ReplyReceiver receiver;
  receiver.Arm();
  if (flags & 0x20) receiver.rxLogCount = static_cast<std::uint16_t>(0xFFFF - (flags >> 6));
  while (!rest.empty()) {
    chunkSeed = chunkSeed * 1103515245u + 12345u;
    const std::size_t chunk = 1 + (chunkSeed >> 16) % 64;
    const std::size_t take = chunk < rest.size() ? chunk : rest.size();
    const std::uint16_t countBefore = receiver.rxLogCount;
    const mx::ReceiveResult result = receiver.Feed(rest.first(take), options);
    CheckResult(result, receiver);
    Require(receiver.rxLogCount >= countBefore);
    rest = rest.subspan(take);
  }

  mx::DigitsToInt(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
