#pragma once

// The station's record on disk: one JSON object a line, appended, and on
// the disk itself (not only in a cache) before Append returns, so that a
// crash or a power cut loses no finished board. One implementation per
// platform: write and fsync (StationLog_posix.cpp), WriteFile and
// FlushFileBuffers (StationLog_win.cpp).

#include <memory>
#include <string>

namespace mx::flash {

class StationLog {
 public:
  // Opens `path` (UTF-8) for appending, creating it; throws
  // std::runtime_error with the system's reason when it cannot.
  explicit StationLog(const std::string& path);
  ~StationLog();
  StationLog(const StationLog&) = delete;
  StationLog& operator=(const StationLog&) = delete;

  // Appends `line` and a line end, and waits until they are on the disk.
  // Returns false (and keeps going) when the system refused.
  bool Append(const std::string& line);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace mx::flash
