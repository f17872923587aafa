#include "sim/Device.h"

#include <cstdio>
#include <utility>

namespace mx::sim {

namespace {

constexpr std::uint8_t kAccepted = 0x00;
constexpr std::uint8_t kRefused = 0x01;

// The fixed host frames, body with checksum.
const std::vector<std::uint8_t> kVersionRequestBody{kCommandVersion, 0x00};
const std::vector<std::uint8_t> kEndBody{kCommandEnd, 0xFF};
const std::vector<std::uint8_t> kEraseBody{kCommandErase, 0x53, 0x00, 0x00, 0x00, 0xAA};
const std::vector<std::uint8_t> kRestoreBody{kCommandRestore, 0xF7};

// A version reply for 1.1 followed by a frame with the unknown reply code 01.
const std::vector<std::uint8_t> kDoubleVersionReply{0x55, 0x55, 0x01, 0x00, 0x01, 0x01, 0xFD,
                                                    0x04, 0x55, 0x55, 0x01, 0x01, 0xFE, 0x04};

std::string Hex2(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X", value & 0xFF);
  return text;
}

std::string Hex6(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%06X", static_cast<unsigned>(value));
  return text;
}

std::vector<std::uint8_t> VersionBodyFor(const SimOptions& options) {
  const auto& v = options.versionBytes;
  return {kReplyType, kCommandVersion, options.minor, options.major, v[0], v[1], v[2], v[3], v[4], v[5]};
}

bool IsFlowControl(std::uint8_t byte) { return byte == kXon || byte == kXoff; }

std::string FlowControlName(std::uint8_t byte) { return byte == kXon ? "XON" : "XOFF"; }

std::string VersionReplyProblem(const SimOptions& options) {
  auto refuse = [](const std::string& what, std::uint8_t byte) {
    return what + " 0x" + Hex2(byte) + " is the host's " + FlowControlName(byte) +
           " character and cannot be sent in the version reply";
  };
  if (IsFlowControl(options.major)) return refuse("version major", options.major);
  if (IsFlowControl(options.minor)) return refuse("version minor", options.minor);
  for (std::size_t i = 0; i < options.versionBytes.size(); ++i) {
    if (IsFlowControl(options.versionBytes[i]))
      return refuse("version byte " + std::to_string(i + 1), options.versionBytes[i]);
  }
  const std::uint8_t checksum = ChecksumOf(VersionBodyFor(options));
  if (IsFlowControl(checksum)) {
    return "the version reply's checksum would be 0x" + Hex2(checksum) + ", the host's " + FlowControlName(checksum) +
           " character; change one of the version bytes";
  }
  return {};
}

std::string NumbersProblem(const SimOptions& o) {
  auto badBlock = [](const std::optional<int>& k) { return k && *k < 1; };
  for (const auto& [block, times] : o.refuseBlock) {
    if (block < 1 || times < 0) return "refused blocks are counted from 1 and refused 0 or more times";
  }
  if (badBlock(o.dropReplyToBlock) || badBlock(o.xoffAfterBlock) || badBlock(o.hangUpAfterBlock)) {
    return "block numbers are counted from 1";
  }
  if (o.refuseErase < 0 || o.doubleVersionReplies < 0) return "counts cannot be negative";
  const std::chrono::milliseconds zero{0};
  if (o.flashWriteTime < zero || o.splitReplyGap < zero || o.xoffHold < zero ||
      (o.powerOnAfter && *o.powerOnAfter < zero)) {
    return "times cannot be negative";
  }
  return {};
}

Output Reply(std::initializer_list<std::uint8_t> body, std::string what) {
  const std::vector<std::uint8_t> bytes(body);
  return Output{Output::Kind::Reply, BuildReplyFrame(bytes), std::chrono::milliseconds{0}, std::move(what)};
}

bool SumsToZero(const std::vector<std::uint8_t>& body) {
  unsigned sum = 0;
  for (std::uint8_t b : body) sum += b;
  return sum % 256 == 0;
}

// Body: 02 LEN A0 A1 A2 DATA... CK. Empty when the frame is sound.
std::string WriteFrameProblem(const std::vector<std::uint8_t>& body) {
  if (body.size() < 7) return "frame too short";
  const std::size_t declared = body[1] == 0xFF ? 256 : body[1];
  if (declared == 0) return "length byte 00";
  const std::size_t carried = body.size() - 6;
  if (carried != declared) {
    return "length byte says " + std::to_string(declared) + " bytes, frame holds " + std::to_string(carried);
  }
  if (!SumsToZero(body)) return "bad checksum";
  return {};
}

std::uint32_t BlockAddress(const std::vector<std::uint8_t>& body) {
  return static_cast<std::uint32_t>(body[2]) | static_cast<std::uint32_t>(body[3]) << 8 |
         static_cast<std::uint32_t>(body[4]) << 16;
}

std::string TextDescription(const std::vector<std::uint8_t>& raw) {
  std::string text;
  for (std::uint8_t b : raw) {
    if (b < 0x20 || b > 0x7E) return std::to_string(raw.size()) + " stray byte(s) (ignored)";
    text += static_cast<char>(b);
  }
  return "text \"" + text + "\" (ignored)";
}

void DropReplies(std::vector<Output>& outputs) {
  std::erase_if(outputs, [](const Output& o) { return o.kind == Output::Kind::Reply; });
}

}  // namespace

std::string CheckOptions(const SimOptions& options) {
  if (std::string problem = VersionReplyProblem(options); !problem.empty()) return problem;
  if (CarriesFlowControl(options.noiseBeforeReplies)) {
    return "noise bytes cannot hold 7D or 7E: the host takes them as XOFF and XON";
  }
  return NumbersProblem(options);
}

Device::Device(SimOptions options) : options_(std::move(options)) {}

Reaction Device::Handle(const HostPiece& piece) {
  Reaction reaction;
  switch (piece.kind) {
    case HostPiece::Kind::Text:
      reaction.description = TextDescription(piece.raw);
      break;
    case HostPiece::Kind::Garbage:
      reaction.description = "incomplete frame (dropped)";
      break;
    case HostPiece::Kind::Frame:
      reaction = HandleFrame(piece.body);
      break;
  }
  if (options_.silent) {
    const std::size_t before = reaction.outputs.size();
    std::erase_if(reaction.outputs, [](const Output& o) { return o.kind != Output::Kind::HangUp; });
    if (reaction.outputs.size() != before) reaction.description += ", no answer (silent)";
  }
  return reaction;
}

Reaction Device::HandleFrame(const std::vector<std::uint8_t>& body) {
  if (body.empty()) return {"empty frame (ignored)", {}, false};
  if (body[0] == kCommandWrite) return OnWrite(body);
  if (body == kVersionRequestBody) return OnVersionRequest();
  if (body == kEraseBody) return OnErase();
  if (body == kEndBody) {
    ++endFrames_;
    return {"end of image", {}, true};
  }
  if (body == kRestoreBody) {
    ++restores_;
    return {"restore command", {}, false};
  }
  return {std::string("unknown frame, command ") + Hex2(body[0]) + (SumsToZero(body) ? "" : ", bad checksum") +
              " (ignored)",
          {},
          false};
}

Reaction Device::OnVersionRequest() {
  ++versionRequests_;
  if (versionRequests_ <= options_.doubleVersionReplies) {
    return {
        "version request", {{Output::Kind::Reply, kDoubleVersionReply, {}, "version reply 1.1 + frame 01 01"}}, false};
  }
  const std::string version = std::to_string(options_.major) + "." + std::to_string(options_.minor);
  return {"version request", {{Output::Kind::Reply, VersionReplyFrame(), {}, "version reply " + version}}, false};
}

Reaction Device::OnErase() {
  ++eraseCount_;
  blockNumber_ = 0;
  lastBlockAddress_.reset();
  if (erasesRefused_ < options_.refuseErase) {
    ++erasesRefused_;
    return {"erase: refused", {Reply({kReplyType, kCommandErase, kRefused}, "erase refused")}, false};
  }
  memory_.clear();
  return {"erase: memory cleared", {Reply({kReplyType, kCommandErase, kAccepted}, "erase accepted")}, false};
}

Reaction Device::OnWrite(const std::vector<std::uint8_t>& body) {
  const int block = BlockNumberOf(body);
  Reaction reaction;
  reaction.description = "write block " + std::to_string(block);
  bool accepted = false;
  if (std::string problem = WriteFrameProblem(body); !problem.empty()) {
    reaction.description += ": " + problem + ", refused";
    reaction.outputs.push_back(Reply({kReplyType, kCommandWrite, kRefused}, "write refused"));
  } else if (RefuseBlockNow(block)) {
    reaction.description += ": refused as asked";
    reaction.outputs.push_back(Reply({kReplyType, kCommandWrite, kRefused}, "write refused"));
  } else {
    Store(body);
    accepted = true;
    reaction.description +=
        ": " + std::to_string(body.size() - 6) + " bytes at " + Hex6(BlockAddress(body)) + ", accepted";
    reaction.outputs.push_back(Reply({kReplyType, kCommandWrite, kAccepted}, "write accepted"));
    reaction.outputs.back().delay = options_.flashWriteTime;
  }
  if (options_.dropReplyToBlock == block && !replyDropped_) {
    replyDropped_ = true;
    DropReplies(reaction.outputs);
    reaction.description += ", reply dropped";
  }
  if (accepted) AddAfterBlockKnobs(block, reaction);
  return reaction;
}

int Device::BlockNumberOf(const std::vector<std::uint8_t>& body) {
  const std::optional<std::uint32_t> address =
      body.size() >= 5 ? std::optional<std::uint32_t>(BlockAddress(body)) : std::nullopt;
  if (!address || address != lastBlockAddress_) ++blockNumber_;
  lastBlockAddress_ = address;
  return blockNumber_;
}

bool Device::RefuseBlockNow(int block) {
  const auto wanted = options_.refuseBlock.find(block);
  if (wanted == options_.refuseBlock.end() || blockRefusals_[block] >= wanted->second) return false;
  ++blockRefusals_[block];
  return true;
}

void Device::Store(const std::vector<std::uint8_t>& body) {
  const std::uint32_t address = BlockAddress(body);
  for (std::size_t i = 5; i + 1 < body.size(); ++i) {
    memory_[address + static_cast<std::uint32_t>(i - 5)] = body[i];
  }
}

void Device::AddAfterBlockKnobs(int block, Reaction& reaction) {
  if (options_.xoffAfterBlock == block && !xoffSent_) {
    xoffSent_ = true;
    reaction.outputs.push_back({Output::Kind::FlowControl, {kXoff}, {}, "XOFF"});
    reaction.outputs.push_back({Output::Kind::FlowControl, {kXon}, options_.xoffHold, "XON"});
  }
  if (options_.hangUpAfterBlock == block) reaction.outputs.push_back({Output::Kind::HangUp, {}, {}, "hang up"});
}

std::vector<std::uint8_t> Device::VersionReplyBody() const { return VersionBodyFor(options_); }

std::vector<std::uint8_t> Device::VersionReplyFrame() const { return BuildReplyFrame(VersionReplyBody()); }

Output Device::PowerOnFrame() const {
  const std::vector<std::uint8_t> body = VersionReplyBody();
  if (!options_.powerOnBadChecksum) {
    return {Output::Kind::Unsolicited, BuildReplyFrame(body), {}, "power-on frame (version reply)"};
  }
  std::uint8_t wrong = static_cast<std::uint8_t>(ChecksumOf(body) + 1);
  while (IsFlowControl(wrong)) ++wrong;
  return {Output::Kind::Unsolicited, BuildFrame(body, wrong), {}, "power-on frame (version reply, wrong checksum)"};
}

}  // namespace mx::sim
