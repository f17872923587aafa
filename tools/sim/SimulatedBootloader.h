#pragma once

// A simulated Mx7410 bootloader behind a pseudo-terminal. It parses the
// host's frames from the device's side, keeps a flash memory, and answers as
// the device does. Used by the tests and by the mx7410-sim program.

#include <chrono>
#include <cstdint>
#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace mx::sim {

struct SimOptions {
  // Version reply: major.minor, and the six bytes the host shows as
  // OldVersion (first three) and RestorePoint (last three).
  std::uint8_t major = 1;
  std::uint8_t minor = 1;
  std::array<std::uint8_t, 6> versionBytes{0x01, 0x02, 0x03, 0x01, 0x02, 0x00};

  // Line emulation: 0 = off; else every byte in both directions takes 10 bits
  // at this baud rate.
  std::uint32_t baud = 0;
  std::chrono::milliseconds flashWriteTime{0};  // per accepted block

  // Fault knobs. Blocks are counted from 1 in the order received.
  std::map<int, int> refuseBlock;       // block k -> refuse n times
  std::optional<int> dropReplyToBlock;  // no reply to block k (first time only)
  int refuseErase = 0;                  // refuse the erase n times
  std::vector<std::uint8_t> noiseBeforeReplies;  // sent before every reply frame
  std::chrono::milliseconds splitReplyGap{0};    // > 0: replies as single bytes with this gap
  std::optional<int> xoffAfterBlock;             // send XOFF after block k ...
  std::chrono::milliseconds xoffHold{0};         // ... and XON after this long
  bool silent = false;                           // never answer
  int doubleVersionReplies = 0;  // answer the first n version requests with 55 55 01 00 01 01 FD 04 55 55 01 01 FE 04
  std::optional<std::chrono::milliseconds> powerOnAfter;  // send one frame this long after start
  bool powerOnBadChecksum = false;                        // ... with a wrong checksum
  std::optional<int> hangUpAfterBlock;                    // close the pty after block k

  bool logFrames = false;  // human-readable log of every frame on stderr
};

// One frame or raw text the simulator received, decoded.
struct ReceivedFrame {
  std::vector<std::uint8_t> raw;   // bytes as on the wire
  std::vector<std::uint8_t> body;  // unescaped, without checksum; empty for raw text
  bool checksumOk = false;
  std::chrono::steady_clock::time_point at;
};

class SimulatedBootloader {
 public:
  explicit SimulatedBootloader(SimOptions options = {});
  ~SimulatedBootloader();  // stops and closes the pty

  // Creates the pseudo-terminal and starts serving it on a thread.
  void Start();
  void Stop();

  // The path the host opens, e.g. /dev/pts/7.
  std::string PortPath() const;
  // Publishes the port as a symlink in `directory` (created if need be) under
  // `name`; removed again by Stop().
  void Publish(const std::string& directory, const std::string& name);

  // Flash memory: address -> byte, for every byte written since the last erase.
  std::map<std::uint32_t, std::uint8_t> Memory() const;
  // True when the memory holds exactly the data bytes of the Intel HEX file
  // (no more, no less); otherwise `why` says where it differs.
  bool MatchesHexFile(const std::string& path, std::string* why = nullptr) const;
  void WriteHex(const std::string& path) const;
  void WriteBinary(const std::string& path) const;

  // Everything received, frame by frame, and the raw byte stream.
  std::vector<ReceivedFrame> Frames() const;
  std::vector<std::uint8_t> ReceivedBytes() const;
  int EraseCount() const;
  int VersionRequestCount() const;

  // Blocks until `count` frames have been received or `timeout` passes.
  bool WaitForFrames(std::size_t count, std::chrono::milliseconds timeout) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace mx::sim
