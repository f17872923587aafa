#include "JsonReport.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <ostream>

#include "Gang.h"
#include "JsonEvent.h"
#include "PortRun.h"

namespace mx::flash {

namespace {

// One object's line. File names and trusted comments are any bytes, and JSON
// takes UTF-8 only: what is not becomes U+FFFD instead of ending the program.
std::string JsonLine(const nlohmann::json& object) {
  return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

constexpr std::string_view kProgram = "mx7410-flash: ";

std::string CommandName(Command command) {
  switch (command) {
    case Command::Ports:
      return "ports";
    case Command::Connect:
      return "connect";
    case Command::Update:
      return "update";
    case Command::Restore:
      return "restore";
    case Command::Erase:
      return "erase";
    case Command::Wizard:
      return "wizard";
    case Command::Check:
      return "check";
    case Command::Station:
      return "station";
    case Command::Keygen:
      return "keygen";
    case Command::Sign:
      return "sign";
    case Command::Records:
      return "records";
  }
  return {};
}

// A port's share of the JSON Lines.
class PortJsonOutput final : public TerminalOutput {
 public:
  PortJsonOutput(JsonReport& report, std::size_t index) : report_(report), index_(index) {}
  void Line(std::string_view line) override { report_.PortLine(index_, line); }
  void Note(std::string_view note) override { report_.PortNote(index_, note); }
  void Progress(const ProgressSample& sample) override { report_.PortProgress(index_, sample); }
  void Waiting(std::string_view) override {}
  void WaitingForNumber(std::string_view why) override { report_.PortWaitingForNumber(index_, why); }
  void EndTransient() override {}
  void Beep() override {}
  void Flush() override {}

 private:
  JsonReport& report_;
  const std::size_t index_;
};

}  // namespace

void AddRunResult(nlohmann::json& object, const PortResult& result, const std::vector<std::string>& messages) {
  object.update({{"exit", result.exitStatus},
                 {"result", ResultWord(result.exitStatus)},
                 {"messages", messages},
                 {"elapsed_s", std::round(result.elapsed.count() * 1000) / 1000}});
  if (const auto& version = result.outcome.version) {
    object["bootloader_version"] = std::to_string(version->major) + "." + std::to_string(version->minor);
    object["old_version"] = version->oldVersionHex;
    object["restore_point"] = version->restorePointHex;
  }
  if (const auto& transfer = result.outcome.transfer) {
    AddFileHash(object, transfer->imageDigest);
    if (result.outcome.interrupted) AddProgress(object, transfer->progress.bytes, transfer->progress.bytesTotal);
  }
  if (result.outcome.interrupted) object["interrupted"] = true;
  if (result.written.serial) object["serial"] = *result.written.serial;
  if (const auto& took = result.written.serialReserveSeconds)
    object["serial_reserve_s"] = std::round(*took * 1e6) / 1e6;
  if (result.written.data) object["board_data"] = *result.written.data;
  if (const PortError& error = result.outcome.portError) {
    object["reason"] = PortErrorKindName(error.kind);
    if (error.systemError)
      object["os_error"] = {{"code", error.systemError.value()}, {"message", error.systemError.message()}};
  }
}

void AddProgress(nlohmann::json& object, std::uint64_t bytes, std::uint64_t bytesTotal) {
  object.update({{"percent", PercentDone(bytes, bytesTotal)},
                 {"bytes", std::min(bytes, bytesTotal)},
                 {"bytes_total", bytesTotal}});
}

// ---- JsonReport -------------------------------------------------------------

JsonReport::JsonReport(std::ostream& out, std::ostream& err, std::vector<std::string> ports, const Options& options,
                       std::string fileDigest)
    : out_(out),
      err_(err),
      ports_(std::move(ports)),
      options_(options),
      fileDigest_(std::move(fileDigest)),
      logs_(ports_.size()) {}

std::unique_ptr<TerminalOutput> JsonReport::OutputFor(std::size_t index) {
  nlohmann::json start = JsonEvent("start");
  start["port"] = ports_[index];
  start["command"] = CommandName(options_.command);
  if (CommandTakesFile(options_.command)) start["file"] = AbsoluteFile(options_);
  AddFileHash(start, fileDigest_);
  std::lock_guard lock(mutex_);
  Write(JsonLine(start));
  return std::make_unique<PortJsonOutput>(*this, index);
}

void JsonReport::Ended(std::size_t index, const PortResult& result) {
  std::lock_guard lock(mutex_);
  PortLog& log = logs_[index];
  if (log.ended) return;  // abandoned: its end is out already
  log.ended = true;
  if (const auto withheld = log.withheld) WriteProgress(index, *withheld);
  nlohmann::json end = JsonEvent("end");
  end["port"] = ports_[index];
  AddRunResult(end, result, log.messages);
  if (!end.contains("file_sha256")) AddFileHash(end, fileDigest_);
  AddSignature(end);
  Write(JsonLine(end));
  if (result.exitStatus == kExitSuccess) ++succeeded_;
}

void JsonReport::NameSignature(std::string keyId, std::string trustedComment) {
  signature_.emplace(std::move(keyId), std::move(trustedComment));
}

void JsonReport::AddSignature(nlohmann::json& end) const {
  if (!signature_) return;
  end["key_id"] = signature_->first;
  end["trusted_comment"] = signature_->second;
}

void JsonReport::Finished(const std::vector<PortResult>&, int exitStatus) {
  std::lock_guard lock(mutex_);
  WriteSummary(exitStatus);
}

void JsonReport::Abandoned(int exitStatus) {
  std::lock_guard lock(mutex_);
  if (summarised_) return;
  for (std::size_t index = 0; index < logs_.size(); ++index) {
    PortLog& log = logs_[index];
    if (log.ended) continue;
    log.ended = true;
    nlohmann::json end = JsonEvent("end");
    end.update({{"port", ports_[index]},
                {"exit", exitStatus},
                {"result", ResultWord(exitStatus)},
                {"messages", log.messages},
                {"interrupted", true}});
    AddFileHash(end, fileDigest_);
    AddSignature(end);
    if (log.latest) AddProgress(end, log.latest->bytesDone.value_or(0), log.latest->bytesTotal.value_or(0));
    Write(JsonLine(end));
  }
  WriteSummary(exitStatus);
}

void JsonReport::WriteSummary(int exitStatus) {
  if (summarised_) return;
  summarised_ = true;
  const long ports = static_cast<long>(logs_.size());
  nlohmann::json summary = JsonEvent("summary");
  summary.update({{"exit", exitStatus}, {"succeeded", succeeded_}, {"failed", ports - succeeded_}});
  Write(JsonLine(summary));
}

void JsonReport::PortLine(std::size_t index, std::string_view line) {
  std::lock_guard lock(mutex_);
  logs_[index].messages.emplace_back(line);
}

void JsonReport::PortNote(std::size_t index, std::string_view note) {
  std::lock_guard lock(mutex_);
  err_ << kProgram << ports_[index] << ": " << note << '\n' << std::flush;
}

void JsonReport::PortWaitingForNumber(std::size_t index, std::string_view why) {
  PortNote(index, "waiting for the number pool: " + std::string(why));
  std::lock_guard lock(mutex_);
  Write(JsonLine(NumberPoolWaitEvent(ports_[index])));
}

void JsonReport::PortProgress(std::size_t index, const ProgressSample& sample) {
  std::lock_guard lock(mutex_);
  PortLog& log = logs_[index];
  log.latest = sample;
  const auto now = std::chrono::steady_clock::now();
  const bool last = sample.bytesDone == sample.bytesTotal;  // a consumer waits for this one
  if (!last && log.lastProgress && now - *log.lastProgress < kProgressInterval) {
    log.withheld = sample;
    return;
  }
  log.lastProgress = now;
  WriteProgress(index, sample);
}

void JsonReport::WriteProgress(std::size_t index, const ProgressSample& sample) {
  logs_[index].withheld.reset();
  nlohmann::json progress = JsonEvent("progress");
  progress["port"] = ports_[index];
  AddProgress(progress, sample.bytesDone.value_or(0), sample.bytesTotal.value_or(0));
  Write(JsonLine(progress));
}

void JsonReport::Write(const std::string& line) { out_ << line << '\n' << std::flush; }

}  // namespace mx::flash
