#pragma once

// What the simulated bootloader does with each piece of the host's byte
// stream: the command set, the flash memory, and the fault knobs. No I/O:
// it returns what to send, and the serving loop puts it on the line.

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim/DeviceFrames.h"
#include "sim/FlashImage.h"
#include "sim/SimulatedBootloader.h"

namespace mx::sim {

// One thing for the line to send.
struct Output {
  enum class Kind {
    Reply,        // a reply frame: takes the noise and split knobs
    FlowControl,  // XON or XOFF
    Unsolicited,  // the power-on frame
    HangUp,       // close the pty (no bytes)
  };
  Kind kind = Kind::Reply;
  std::vector<std::uint8_t> bytes;
  std::chrono::milliseconds delay{0};  // after the frame, or after the previous output, has gone out
  std::string what;                    // for the log
};

struct Reaction {
  std::string description;  // what the device made of the piece, for the log
  std::vector<Output> outputs;
  bool endFrame = false;
};

class Device {
 public:
  // `options` must have passed CheckOptions.
  explicit Device(SimOptions options);

  Reaction Handle(const HostPiece& piece);
  // The frame sent at power-on: the version reply, or a copy with a wrong
  // checksum.
  Output PowerOnFrame() const;
  // The version reply frame as it goes on the wire.
  std::vector<std::uint8_t> VersionReplyFrame() const;

  const MemoryMap& Memory() const { return memory_; }
  int EraseCount() const { return eraseCount_; }
  int VersionRequestCount() const { return versionRequests_; }
  int EndFrameCount() const { return endFrames_; }
  int RestoreCount() const { return restores_; }

 private:
  Reaction HandleFrame(const std::vector<std::uint8_t>& body);
  Reaction OnVersionRequest();
  Reaction OnErase();
  Reaction OnWrite(const std::vector<std::uint8_t>& body);
  int BlockNumberOf(const std::vector<std::uint8_t>& body);
  bool RefuseBlockNow(int block);
  void Store(const std::vector<std::uint8_t>& body);
  void AddAfterBlockKnobs(int block, Reaction& reaction);
  std::vector<std::uint8_t> VersionReplyBody() const;

  SimOptions options_;
  MemoryMap memory_;
  int eraseCount_ = 0;
  int erasesRefused_ = 0;
  int versionRequests_ = 0;
  int endFrames_ = 0;
  int restores_ = 0;
  int blockNumber_ = 0;
  std::optional<std::uint32_t> lastBlockAddress_;
  std::map<int, int> blockRefusals_;
  bool replyDropped_ = false;
  bool xoffSent_ = false;
};

}  // namespace mx::sim
