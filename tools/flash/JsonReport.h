#pragma once

// How several runs at once show to a factory system: JSON Lines on standard
// output, every object with its event and time.

#include <chrono>
#include <iosfwd>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "GangReport.h"
#include "ProgressBar.h"

namespace mx::flash {

// JSON Lines on standard output, one object a line: "start", "progress" (at
// most every 250 ms, and always the last position: 100 % once every byte has
// gone), "end" for every port, then one "summary". The end names the SHA-256
// of the very bytes the run read, checked and sent.
class JsonReport final : public GangReport {
 public:
  static constexpr std::chrono::milliseconds kProgressInterval{250};

  // `fileDigest`: the SHA-256 of the command's file, read once before any
  // port opened (empty for commands without a file).
  JsonReport(std::ostream& out, std::ostream& err, std::vector<std::string> ports, const Options& options,
             std::string fileDigest = {});

  // The signature that a trusted key made of the file: every "end" names its
  // key_id and trusted_comment. Before the runs start.
  void NameSignature(std::string keyId, std::string trustedComment);

  std::unique_ptr<TerminalOutput> OutputFor(std::size_t index) override;
  void Ended(std::size_t index, const PortResult& result) override;
  void Refresh() override {}
  void Finished(const std::vector<PortResult>& results, int exitStatus) override;
  void Abandoned(int exitStatus) override;

  // What one port shows, from its thread.
  void PortLine(std::size_t index, std::string_view line);
  void PortNote(std::size_t index, std::string_view note);
  // The "waiting" object, and why on standard error.
  void PortWaitingForNumber(std::size_t index, std::string_view why);
  void PortProgress(std::size_t index, const ProgressSample& sample);

 private:
  struct PortLog {
    std::vector<std::string> messages;  // what the plain output would print, in order
    std::optional<std::chrono::steady_clock::time_point> lastProgress;
    std::optional<ProgressSample> withheld;  // the latest position not written yet
    std::optional<ProgressSample> latest;    // the latest position, written or not
    bool ended = false;                      // its end is out
  };
  // These three with mutex_ held.
  void WriteProgress(std::size_t index, const ProgressSample& sample);
  void WriteSummary(int exitStatus);
  void Write(const std::string& line);
  void AddSignature(nlohmann::json& end) const;

  std::ostream& out_;
  std::ostream& err_;
  const std::vector<std::string> ports_;
  const Options& options_;
  const std::string fileDigest_;
  std::optional<std::pair<std::string, std::string>> signature_;  // key id, trusted comment
  std::mutex mutex_;                                              // one object a line, whole; guards what follows
  std::vector<PortLog> logs_;
  long succeeded_ = 0;
  bool summarised_ = false;
};

// The fields of an "end" that say how a run ended: exit, result, messages,
// elapsed_s, the device's versions once connected, file_sha256 once the
// transfer started; for an interrupted run, "interrupted" and how far it got.
void AddRunResult(nlohmann::json& object, const PortResult& result, const std::vector<std::string>& messages);
// "percent", "bytes" and "bytes_total" of a transfer's position.
void AddProgress(nlohmann::json& object, std::uint64_t bytes, std::uint64_t bytesTotal);

}  // namespace mx::flash
