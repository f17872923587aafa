#pragma once

// A simulated Mx7410 bootloader behind a pseudo-terminal. It parses the
// host's frames from the device's side, keeps a flash memory, and answers as
// the device does. Used by the tests and by the mx7410-sim program.

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
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
  // > 0: bytes for the host reach it as from a USB serial adapter, held and
  // handed over together at every tick of its latency timer this long.
  std::chrono::milliseconds latencyTimer{0};

  // Fault knobs. Blocks are counted from 1 in the order received, starting
  // again at every erase; a block sent again at the same address keeps its
  // number.
  std::map<int, int> refuseBlock;                // block k -> refuse n times
  std::optional<int> dropReplyToBlock;           // no reply to block k (first time only)
  int refuseErase = 0;                           // refuse the erase n times
  std::vector<std::uint8_t> noiseBeforeReplies;  // sent before every reply frame
  std::chrono::milliseconds splitReplyGap{0};    // > 0: replies as single bytes with this gap
  std::optional<int> xoffAfterBlock;             // send XOFF after block k ...
  std::chrono::milliseconds xoffHold{0};         // ... and XON after this long
  bool silent = false;                           // never answer
  int doubleVersionReplies = 0;  // answer the first n version requests with 55 55 01 00 01 01 FD 04 55 55 01 01 FE 04
  // Send one frame this long after the host first opens the port (after
  // start where opens cannot be watched).
  std::optional<std::chrono::milliseconds> powerOnAfter;
  bool powerOnBadChecksum = false;  // ... with a wrong checksum
  // Close the pty after block k: once its reply is out, as soon as the host
  // writes again (what it writes is lost), at the latest 0.5 s later.
  std::optional<int> hangUpAfterBlock;

  bool logFrames = false;  // human-readable log of every frame on stderr

  // Called on the serving thread after every end-of-image frame.
  std::function<void()> onEndFrame;
};

// Why the options cannot be served (for example a version byte that the host
// would take as XON or XOFF); empty when they can.
std::string CheckOptions(const SimOptions& options);

// Where ports are published for the updater's port discovery: MX7410_PORT_DIR
// when set, else $XDG_RUNTIME_DIR/mx7410, else /tmp/mx7410-<uid>.
std::string PortDirectoryFromEnvironment();

// One frame or raw text the simulator received, decoded.
struct ReceivedFrame {
  std::vector<std::uint8_t> raw;   // bytes as on the wire
  std::vector<std::uint8_t> body;  // unescaped, without checksum; empty for raw text
  bool checksumOk = false;
  std::chrono::steady_clock::time_point at;  // when its last byte arrived (after line emulation)
};

// One output of the device: a reply, a flow-control character, the
// power-on frame or its hang-up (no bytes).
struct DeviceAnswer {
  std::string what;  // as in the frame log
  std::vector<std::uint8_t> bytes;
  std::size_t framesBefore = 0;  // frames received when the device decided it
};

class SimulatedBootloader {
 public:
  // Throws std::invalid_argument when CheckOptions finds a problem.
  explicit SimulatedBootloader(SimOptions options = {});
  ~SimulatedBootloader();  // stops and closes the pty

  // Creates the pseudo-terminal and starts serving it on a thread. Throws
  // std::system_error when no pseudo-terminal can be had.
  void Start();
  // Stops the thread, closes the pty and removes the published link. Start
  // and Stop are called from one thread.
  void Stop();

  // The path the host opens, e.g. /dev/pts/7.
  std::string PortPath() const;
  // Publishes the port as a symlink in `directory` (created if need be) under
  // `name`; an empty name takes the first free "simN". Removed again by Stop()
  // and when the device hangs up. Throws std::runtime_error when the link
  // cannot be made.
  void Publish(const std::string& directory, const std::string& name);
  // The published link's path; empty when there is none.
  std::string PublishedPath() const;

  // Flash memory: address -> byte, for every byte written since the last erase.
  std::map<std::uint32_t, std::uint8_t> Memory() const;
  // True when the memory holds exactly the data bytes of the Intel HEX file
  // (no more, no less); otherwise `why` says where it differs.
  bool MatchesHexFile(const std::string& path, std::string* why = nullptr) const;
  // Throw std::runtime_error when the file cannot be written.
  void WriteHex(const std::string& path) const;
  void WriteBinary(const std::string& path) const;

  // Everything received, frame by frame, and the raw byte stream.
  std::vector<ReceivedFrame> Frames() const;
  std::vector<std::uint8_t> ReceivedBytes() const;
  // Everything the device answered, in order, as it decided it (before
  // noise, splitting and the line; also what a closed port then lost).
  std::vector<DeviceAnswer> Answers() const;
  int EraseCount() const;           // erase commands received, accepted or refused
  int VersionRequestCount() const;  // version requests received
  int EndFrameCount() const;        // end-of-image frames received
  int RestoreCount() const;         // restore commands received
  bool HungUp() const;              // the device has closed the pty (hangUpAfterBlock)

  // Switches the device on now: the power-on frame (as powerOnAfter would
  // send it) goes out at once. For a host that has said it waits.
  void PowerOn();

  // Blocks until `count` frames have been received or `timeout` passes.
  bool WaitForFrames(std::size_t count, std::chrono::milliseconds timeout) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace mx::sim
