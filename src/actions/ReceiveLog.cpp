#include "actions/ReceiveLog.h"

#include <variant>

namespace mx {

namespace {

// Raw positions (1-based, sync bytes included) of the kept version bytes.
constexpr std::size_t kOldVersionFirst = 7;
constexpr std::size_t kOldVersionLast = 9;
constexpr std::size_t kRestorePointFirst = 10;
constexpr std::size_t kRestorePointLast = 12;

void AppendHexBytes(std::string& text, const std::vector<std::uint8_t>& frame, std::size_t first, std::size_t last) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (std::size_t position = first; position <= last && position <= frame.size(); ++position) {
    const std::uint8_t byte = frame[position - 1];
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
}

const std::vector<std::uint8_t>* FrameBytes(const LogEntry& entry) {
  if (const auto* frame = std::get_if<LoggedFrame>(&entry)) return &frame->bytes;
  if (const auto* seen = std::get_if<WizardFrameSeen>(&entry)) return &seen->bytes;
  return nullptr;
}

}  // namespace

void ReceiveLog::Reset() { *this = ReceiveLog{}; }

std::vector<LogEntry> ReceiveLog::Take(const std::vector<LogEntry>& received, bool logFrames) {
  std::vector<LogEntry> taken;
  for (const LogEntry& entry : received) {
    if (!Takes(entry, logFrames)) continue;
    if (const std::vector<std::uint8_t>* frame = FrameBytes(entry)) {
      KeepDigits(*frame);
      if (count_ == 0) firstFrame_ = entry;
    }
    taken.push_back(entry);
    if (auto* version = std::get_if<VersionReply>(&taken.back())) {
      version->oldVersionHex = oldVersionHex_;
      version->restorePointHex = restorePointHex_;
    }
    // Saturates: wrapping back below the limit would log frames again.
    if (count_ < UINT16_MAX) ++count_;
  }
  return taken;
}

bool ReceiveLog::Takes(const LogEntry& entry, bool logFrames) const {
  if (std::holds_alternative<VersionReply>(entry)) return true;
  if (count_ >= kEntriesLogged) return false;
  // Unlike a write's, an erase's acknowledgement is logged without "Show Message".
  return logFrames || std::holds_alternative<EraseAcknowledged>(entry);
}

void ReceiveLog::KeepDigits(const std::vector<std::uint8_t>& frame) {
  AppendHexBytes(oldVersionHex_, frame, kOldVersionFirst, kOldVersionLast);
  AppendHexBytes(restorePointHex_, frame, kRestorePointFirst, kRestorePointLast);
}

}  // namespace mx
