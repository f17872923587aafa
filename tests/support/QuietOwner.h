#pragma once

// A device session's owner that takes every chunk as plain frames and shows
// nothing: for tests of the transfer itself.

#include <optional>
#include <span>

#include "protocol/DeviceSession.h"

namespace mx::test {

struct QuietOwner : SessionOwner {
  std::optional<ReceiveOptions> HowToReceive() override { return ReceiveOptions{}; }
  void ChunkParsed(const ReceiveResult&) override {}
  void ChunkShownRaw(std::span<const std::uint8_t>) override {}
  void WaitStarted() override {}
  void WaitEnded(Reply) override {}
  void PortLost() override {}
};

}  // namespace mx::test
