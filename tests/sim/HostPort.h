#pragma once

// The host's end of the simulator's pseudo-terminal, as the tests use it:
// the slave opened raw, bytes written by hand, replies read with poll()
// time-outs. Plus a few small helpers for hand-written frames.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace mx::sim::test {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// "55 55 00 00 04" -> bytes.
inline Bytes Hex(const std::string& text) {
  Bytes bytes;
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    bytes.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return bytes;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// Fixed frames, as the host sends them.
inline const Bytes kWakeText{'r', 'e'};
inline const Bytes kVersionRequest = Hex("55 55 00 00 04");
inline const Bytes kEraseFrame = Hex("55 55 03 05 53 00 00 00 AA 04");
inline const Bytes kEndFrame = Hex("55 55 01 FF 04");
inline const Bytes kRestoreFrame = Hex("55 55 09 F7 04");
// 16 bytes 01..0F 55 at 0x0500: LEN 10, A0 00, A1 05 (escaped), A2 00; 04, 05
// and 55 escaped; body sum E4, checksum 1C.
inline const Bytes kWorkedExample =
    Hex("55 55 02 10 00 05 05 00 01 02 03 05 04 05 05 06 07 08 09 0A 0B 0C 0D 0E 0F 05 55 1C 04");

// The device's replies.
inline const Bytes kWriteAccepted = Hex("55 55 01 02 00 FD 04");
inline const Bytes kWriteRefused = Hex("55 55 01 02 01 FC 04");
inline const Bytes kEraseAccepted = Hex("55 55 01 03 00 FC 04");
inline const Bytes kEraseRefused = Hex("55 55 01 03 01 FB 04");
// Version 1.1 with the default bytes 01 02 03 01 02 00: body sum 0C, checksum F4.
inline const Bytes kDefaultVersionReply = Hex("55 55 01 00 01 01 01 02 03 01 02 00 F4 04");

class HostPort {
 public:
  explicit HostPort(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    if (fd_ < 0) throw std::runtime_error("cannot open " + path);
    termios settings{};
    ::tcgetattr(fd_, &settings);
    ::cfmakeraw(&settings);
    ::tcsetattr(fd_, TCSANOW, &settings);
  }
  ~HostPort() { Close(); }
  HostPort(const HostPort&) = delete;
  HostPort& operator=(const HostPort&) = delete;

  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  void Write(const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) throw std::runtime_error("write to the pty failed");
      done += static_cast<std::size_t>(n);
    }
  }

  // One read() of whatever is there once something has come; empty after
  // `timeout` without data. After a hang-up the bytes sent before it are
  // still read; then reads fail.
  Bytes ReadChunk(std::chrono::milliseconds timeout) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return {};
    std::uint8_t buffer[1024];
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    return n > 0 ? Bytes(buffer, buffer + n) : Bytes{};
  }

  // Reads until `count` bytes have come; stops early after `timeout`.
  Bytes Read(std::size_t count, std::chrono::milliseconds timeout = 2000ms) {
    const auto deadline = Clock::now() + timeout;
    Bytes bytes;
    while (bytes.size() < count) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (left <= 0ms) break;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      std::uint8_t buffer[1024];
      const ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, count - bytes.size()));
      if (n <= 0) break;
      bytes.insert(bytes.end(), buffer, buffer + n);
    }
    return bytes;
  }

  // Writes a frame and reads a reply of the given length.
  Bytes Exchange(const Bytes& frame, std::size_t replyLength) {
    Write(frame);
    return Read(replyLength);
  }

  // True when nothing arrives within `window`.
  bool StaysQuiet(std::chrono::milliseconds window) { return ReadChunk(window).empty(); }

  // True when the other side hangs up within `timeout`.
  bool SeesHangUp(std::chrono::milliseconds timeout) {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(timeout.count())) > 0 && (p.revents & POLLHUP);
  }

 private:
  int fd_ = -1;
};

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "mx7410-sim-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& Path() const { return path_; }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace mx::sim::test
