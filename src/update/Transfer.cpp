#include "update/Transfer.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "protocol/Frames.h"
#include "update/HexFile.h"

namespace mx {

namespace {

// Gathers data bytes into blocks that each cover one run of contiguous
// device memory. A block is handed on when it holds 256 bytes, when the next
// record does not continue it, or when flushed; the receiver returns false
// to stop the run. Records of 16 bytes from a 256-byte boundary give the same
// blocks as plain 256-byte chunking.
class BlockBuilder {
 public:
  using Receiver = std::function<bool(std::uint32_t address, std::span<const std::uint8_t> bytes, bool lastBlock)>;

  explicit BlockBuilder(Receiver receive) : receive_(std::move(receive)) {}

  bool Add(std::uint32_t address, std::span<const std::uint8_t> data) {
    if (!pending_.empty() && address != start_ + pending_.size() && !HandOnPending(false)) return false;
    while (!data.empty()) {
      if (pending_.empty()) start_ = address;
      const std::size_t take = std::min(data.size(), WriteFrame::kBlockSize - pending_.size());
      pending_.insert(pending_.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(take));
      address += static_cast<std::uint32_t>(take);
      data = data.subspan(take);
      if (pending_.size() == WriteFrame::kBlockSize && !HandOnPending(false)) return false;
    }
    return true;
  }

  // Hands on the pending block, if any, as the image's last one.
  bool Flush() { return pending_.empty() || HandOnPending(true); }

 private:
  // A block of 255 bytes would carry the length byte FF, which says 256: it
  // goes out as 254 bytes and then 1, each with its own address.
  bool HandOnPending(bool lastBlock) {
    const std::span<const std::uint8_t> bytes(pending_);
    const std::size_t first = bytes.size() == WriteFrame::kBlockSize - 1 ? bytes.size() - 1 : bytes.size();
    bool goOn = receive_(start_, bytes.first(first), lastBlock && first == bytes.size());
    if (goOn && first < bytes.size()) goOn = receive_(start_ + first, bytes.subspan(first), lastBlock);
    pending_.clear();
    return goOn;
  }

  Receiver receive_;
  std::vector<std::uint8_t> pending_;  // the block's bytes, from device address start_ on
  std::uint32_t start_ = 0;
};

// Walks the image's records as a transfer sends them: every data record goes
// to `onRecord`, then into `blocks`; an end record hands on the last block
// and calls `onEnd`; an extended address record sets the upper address byte.
// False when handing on a block stopped the walk.
bool WalkImage(const FirmwareImage& image, BlockBuilder& blocks,
               const std::function<void(const HexRecord&, std::uint32_t address)>& onRecord,
               const std::function<void()>& onEnd) {
  std::uint8_t upperAddress = 0;  // A2
  for (const HexRecord record : image.Records()) {
    switch (record.type) {
      case kDataRecord: {
        const std::uint32_t address = (std::uint32_t{upperAddress} << 16) | record.address;
        onRecord(record, address);
        if (!blocks.Add(address, record.data)) return false;
        break;
      }
      case kEndRecord:
        if (!blocks.Flush()) return false;
        onEnd();
        break;
      case kUpperAddressRecord:
        upperAddress = record.upperByte;
        break;
      default:
        break;
    }
  }
  return true;
}

class TransferRun {
 public:
  TransferRun(DeviceSession& session, const FirmwareImage& image, const TransferPlan& plan,
              const ProgressObserver& onRecord)
      : session_(session), image_(image), plan_(plan), onRecord_(onRecord) {
    outcome_.progress.bytesTotal = image.DataBytes();
    outcome_.progress.recordsTotal = image.DataRecordCount();
  }

  TransferOutcome Run();

 private:
  std::optional<TransferOutcome::Ending> Erase();
  bool WriteImage();
  bool SendBlock(std::uint32_t address, std::span<const std::uint8_t> bytes, bool armFirst);
  TransferOutcome::Ending EndingAfterWrite() const;

  DeviceSession& session_;
  const FirmwareImage& image_;
  const TransferPlan& plan_;
  const ProgressObserver& onRecord_;
  TransferOutcome outcome_;
  WriteFrame frame_;
};

TransferOutcome TransferRun::Run() {
  if (!plan_.testMode && !session_.BootloaderAnswered()) {
    outcome_.ending = TransferOutcome::Ending::NotAnswered;
  } else if (const std::optional<TransferOutcome::Ending> stop = Erase()) {
    outcome_.ending = *stop;
  } else {
    outcome_.wentThrough = WriteImage();
    outcome_.ending = EndingAfterWrite();
    if (outcome_.ending == TransferOutcome::Ending::Written) session_.Send(kVersionFrame);
  }
  outcome_.lastReply = session_.LastReply();
  return outcome_;
}

// Sends the erase frame until the device takes it. An ending, or nothing
// when the writing may start.
std::optional<TransferOutcome::Ending> TransferRun::Erase() {
  if (plan_.testMode) return std::nullopt;  // no erase in test mode
  for (;;) {
    session_.Send(kEraseFrame);
    const Reply reply = session_.WaitForReply(plan_.replyTimeout);
    if (plan_.eraseOnly) return TransferOutcome::Ending::EraseOnly;
    if (reply == Reply::TimedOut) return TransferOutcome::Ending::TimedOut;
    if (reply == Reply::PortLost) return TransferOutcome::Ending::PortLost;
    if (reply == Reply::Closed) return TransferOutcome::Ending::Stopped;
    if (reply != Reply::Refused) return std::nullopt;
    ++outcome_.refusals;
  }
}

// Walks the image's records; false when a wait gave up.
bool TransferRun::WriteImage() {
  BlockBuilder blocks([this](std::uint32_t address, std::span<const std::uint8_t> bytes, bool lastBlock) {
    return SendBlock(address, bytes, lastBlock);
  });
  TransferProgress& progress = outcome_.progress;
  return WalkImage(
      image_, blocks,
      [&](const HexRecord& record, std::uint32_t) {
        ++progress.records;
        progress.bytes += record.data.size();
        if (onRecord_) onRecord_(progress);
        session_.HandlePendingEvents();
      },
      [this] { session_.Send(kEndFrame); });  // no reply is awaited
}

// Sends one block until the device takes it (the last one on a freshly
// armed receiver); false when a wait gave up.
bool TransferRun::SendBlock(std::uint32_t address, std::span<const std::uint8_t> bytes, bool armFirst) {
  frame_.Start(static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8),
               static_cast<std::uint8_t>(address >> 16));
  for (const std::uint8_t byte : bytes) frame_.Append(byte);
  frame_.Close();
  const std::span<const std::uint8_t> frame = frame_.Bytes();
  for (;;) {
    if (armFirst) session_.Arm();
    session_.Send(frame);
    if (plan_.testMode) break;
    const Reply reply = session_.WaitForReply(plan_.replyTimeout);
    if (GaveUp(reply)) return false;
    if (reply != Reply::Refused) break;
    ++outcome_.refusals;  // the same frame again
  }
  ++outcome_.blocksWritten;
  return true;
}

TransferOutcome::Ending TransferRun::EndingAfterWrite() const {
  using Ending = TransferOutcome::Ending;
  if (plan_.testMode) return Ending::TestSent;
  switch (session_.LastReply()) {
    case Reply::TimedOut:
      return Ending::TimedOut;
    case Reply::PortLost:
      return Ending::PortLost;
    case Reply::Closed:
      return Ending::Stopped;
    case Reply::WriteAccepted:
      return Ending::Written;
    case Reply::EraseAccepted:
      // Erased, and the end frame went out: all that a file without data asks.
      if (outcome_.progress.records == 0) return Ending::NoData;
      return Ending::Unconfirmed;
    default:
      return Ending::Unconfirmed;
  }
}

}  // namespace

TransferOutcome RunTransfer(DeviceSession& session, const FirmwareImage& image, const TransferPlan& plan,
                            const ProgressObserver& onRecord) {
  TransferOutcome outcome = TransferRun(session, image, plan, onRecord).Run();
  outcome.imageDigest = image.FileDigest();
  return outcome;
}

int PercentDone(std::uint64_t bytes, std::uint64_t bytesTotal) {
  if (bytesTotal == 0) return 100;
  return static_cast<int>(std::min(bytes, bytesTotal) * 100 / bytesTotal);
}

ImageLayout DescribeImage(const FirmwareImage& image) {
  ImageLayout layout;
  BlockBuilder blocks([&layout](std::uint32_t, std::span<const std::uint8_t>, bool) {
    ++layout.writeFrames;
    return true;
  });
  WalkImage(
      image, blocks,
      [&layout](const HexRecord& record, std::uint32_t address) {
        if (record.data.empty()) return;
        const std::uint32_t last = address + static_cast<std::uint32_t>(record.data.size()) - 1;
        layout.firstAddress = layout.dataRecords == 0 ? address : std::min(layout.firstAddress, address);
        layout.lastAddress = layout.dataRecords == 0 ? last : std::max(layout.lastAddress, last);
        ++layout.dataRecords;
        layout.dataBytes += record.data.size();
      },
      [] {});
  return layout;
}

}  // namespace mx
