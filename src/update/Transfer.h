#pragma once

// The update transfer: erases the device, writes the image in acknowledged
// blocks of at most 256 bytes, closes it with the end frame and, once the
// last block has been accepted, asks for the version again. It runs on the
// session's owner thread and handles events once per data record and
// throughout every wait.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "protocol/DeviceSession.h"
#include "update/FirmwareImage.h"

namespace mx {

struct TransferPlan {
  bool eraseOnly = false;  // the Erase button: stop right after the erase has been answered
  bool testMode = false;   // "Code Report": no erase, and no reply is awaited
  std::chrono::duration<double> replyTimeout{3.0};
};

struct TransferProgress {
  int records = 0;                // data records reached, also those after the end record
  std::uint64_t bytes = 0;        // their data bytes
  std::uint64_t bytesTotal = 0;   // data bytes of the image
  std::int32_t recordsTotal = 0;  // data records of the image: the 100 % mark
};

// Whole percent of the image's data bytes reached, rounded down; 100 for an
// image without data. Bytes of records after the end record do not count
// past 100. The command line's bar, table and JSON all show this one.
int PercentDone(std::uint64_t bytes, std::uint64_t bytesTotal);
inline int PercentDone(const TransferProgress& progress) { return PercentDone(progress.bytes, progress.bytesTotal); }

// Outside test mode nothing is sent unless the bootloader has answered on
// the session's port (DeviceSession::BootloaderAnswered): an erase on a port
// that may hold another device, or none, would be a loss.

// Told of every data record the transfer reaches, before its bytes go into
// a frame.
using ProgressObserver = std::function<void(const TransferProgress& progress)>;

struct TransferOutcome {
  enum class Ending {
    NotAnswered,  // the bootloader has not answered on this port: nothing was sent
    EraseOnly,    // eraseOnly: the erase has been answered; lastReply says how
    TimedOut,     // a wait ran out; nothing was sent after the unanswered frame
    PortLost,     // the port vanished during a wait
    TestSent,     // test mode: every frame queued, none answered
    Written,      // the last block was accepted: end frame and version request queued
    NoData,       // erased, end frame queued; the image holds no data records
    Unconfirmed,  // went through, but the last reply was no acceptance of a block
    Stopped,      // the port was closed during a wait (the run was stopped)
  };
  Ending ending = Ending::Unconfirmed;
  Reply lastReply = Reply::None;
  bool wentThrough = false;  // every line of the image was gone through
  TransferProgress progress;
  int blocksWritten = 0;  // write frames accepted (queued, in test mode)
  int refusals = 0;       // erase and write frames the device refused and got again
  // The digest of the file the image was read from (FirmwareImage::FileDigest):
  // what this transfer checked and sent, for a record to name exactly.
  std::string imageDigest;
};

TransferOutcome RunTransfer(DeviceSession& session, const FirmwareImage& image, const TransferPlan& plan,
                            const ProgressObserver& onRecord);

// What a transfer of the image writes, found without a device.
struct ImageLayout {
  int dataRecords = 0;
  std::uint64_t dataBytes = 0;
  std::uint32_t firstAddress = 0;  // of the first data byte, with the upper address byte
  std::uint32_t lastAddress = 0;   // of the last data byte
  int writeFrames = 0;             // write frames, one acknowledgement each
};
ImageLayout DescribeImage(const FirmwareImage& image);

}  // namespace mx
