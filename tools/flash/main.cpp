// mx7410-flash: the updater's device actions on the command line.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "BoardImages.h"
#include "BoardStore.h"
#include "CheckFile.h"
#include "CommandLine.h"
#include "ConsoleReport.h"
#include "Gang.h"
#include "InterruptGuard.h"
#include "JsonReport.h"
#include "KeyCommands.h"
#include "PackageCommands.h"
#include "PortListing.h"
#include "PortRun.h"
#include "Records.h"
#include "Sha256.h"
#include "SignedFile.h"
#include "Station.h"
#include "StationLog.h"
#include "StationReport.h"
#include "Terminal.h"
#include "TerminalView.h"
#include "app/HostSystem.h"
#include "serial/SerialComm.h"
#include "update/FileAccess.h"
#include "update/FirmwareImage.h"
#include "update/HexFile.h"

namespace mx::flash {
namespace {

// A run that Ctrl-C or SIGTERM asked to stop has this long to end on its own.
constexpr std::chrono::milliseconds kInterruptGrace{1500};

// Ends this process, and only it, once its output is out: when an
// interrupted run does not end in time, or at a second Ctrl-C. The ports get
// their settings back, the system closes them.
[[noreturn]] void EndAfterInterrupt(int exitStatus) {
  std::fputs("\nmx7410-flash: stopped\n", stderr);
  mx::RestorePortSettingsNow();
  RestoreConsole();
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  std::_Exit(exitStatus);
}

StreamSettings StreamSettingsFor(const Options& options) {
  return {options.quiet, IsTerminal(Stream::Output), IsTerminal(Stream::Error), TerminalColumns(),
          TerminalTakesControlSequences()};
}

// The runs of a gang under the interrupt guard: a run that does not end
// within the grace, or a second request, still leaves every record.
int RunUnderGuard(const Options& options, std::vector<std::string> ports, GangReport& report,
                  std::shared_ptr<const FirmwareImage> image, BoardImages* boards) {
  Gang gang(options, std::move(ports), report, std::move(image), boards);
  InterruptGuard guard(
      kInterruptGrace, [&gang] { gang.Interrupt(); },
      [&report](int status) {
        report.Abandoned(status);
        EndAfterInterrupt(status);
      });
  return guard.ExitStatus(gang.Run());
}

// The run on one port, or on the automatic choice: a gang of one that
// prints as a run alone.
int RunCommand(const Options& options, std::shared_ptr<const FirmwareImage> image, BoardImages* boards) {
  SingleRunReport report(std::cout, std::cerr, options.port.value_or(""), StreamSettingsFor(options));
  return RunUnderGuard(options, {options.port.value_or("")}, report, std::move(image), boards);
}

// The ports of a run on several: those given, the adapters and simulators
// for --all-ports, or the automatic choice for a single JSON run.
std::vector<std::string> GangPorts(const Options& options) { return ChooseGangPorts(options, DescribeSerialPorts()); }

// Several ports at once, or any run with JSON output.
int RunGang(const Options& options, std::shared_ptr<const FirmwareImage> image, BoardImages* boards,
            const std::optional<trust::Verification>& signature) {
  const std::vector<std::string> ports = GangPorts(options);
  if (ports.empty()) {
    std::cerr << "mx7410-flash: " << NoGangPortNote(options) << '\n';
    return kExitPortFailed;
  }
  std::unique_ptr<GangReport> report;
  if (options.json) {
    auto json = std::make_unique<JsonReport>(std::cout, std::cerr, ports, options, image ? image->FileDigest() : "");
    if (signature) json->NameSignature(trust::KeyIdText(signature->keyId), signature->trustedComment);
    report = std::move(json);
  } else {
    report = std::make_unique<ConsoleReport>(std::cout, std::cerr, ports, StreamSettingsFor(options));
  }
  return RunUnderGuard(options, ports, *report, std::move(image), boards);
}

// Until Ctrl-C: every board that comes, each on its own thread.
int RunStation(const Options& options, std::shared_ptr<const FirmwareImage> image, BoardImages* boards) {
  std::unique_ptr<StationLog> log;
  try {
    if (!options.logFile.empty()) log = std::make_unique<StationLog>(options.logFile);
    StationReport report(std::cout, std::cerr, options, StreamSettingsFor(options), std::move(log),
                         image->FileDigest());
    Station station(options, report, std::move(image), boards);
    InterruptGuard guard(
        kInterruptGrace, [&station] { station.Interrupt(); },
        [&report](int status) {
          report.Abandoned(status);
          EndAfterInterrupt(status);
        });
    station.Run();
    if (station.UsedUp()) std::cerr << "mx7410-flash: " << boards->UsedUpText() << '\n';
    return guard.ExitStatus(station.UsedUp() ? kExitDeviceFailed : kExitSuccess);
  } catch (const std::runtime_error& error) {
    std::cerr << "mx7410-flash: " << error.what() << '\n';
    return kExitUsage;
  }
}

int ListPorts(const Options& options) {
  if (options.json) return PrintJsonPortList(mx::DescribeSerialPorts(), std::cout, std::cerr);
  if (options.longListing) return PrintLongPortList(mx::DescribeSerialPorts(), std::cout, std::cerr);
  const std::vector<std::string> ports = ListSerialPortNames();
  if (ports.empty()) {
    std::cerr << "mx7410-flash: no serial port is listed\n";
    return kExitPortFailed;
  }
  for (const std::string& port : ports) std::cout << port << '\n';
  return kExitSuccess;
}

// Reads, checks and hashes the command's file once, before any port opens;
// a file refused (also for its signature, with trusted keys), or one
// without data to write, touches no device.
std::optional<std::shared_ptr<const FirmwareImage>> ImageForCommand(const Options& options,
                                                                    const std::vector<trust::PublicKey>& trustedKeys,
                                                                    std::optional<trust::Verification>& signature) {
  if (!CommandTakesFile(options.command)) return nullptr;
  const SignedImageReading signedReading = ReadSignedFirmwareFile(AbsoluteFile(options), trustedKeys);
  const ImageReading& reading = signedReading.reading;
  std::ostream& out = options.command == Command::Station ? std::cerr : std::cout;
  const char* prefix = options.command == Command::Station ? "mx7410-flash: " : "";
  if (!signedReading.signatureRefusal.empty()) {
    out << prefix << signedReading.signatureRefusal << '\n';
    return std::nullopt;
  }
  for (const AddressFault& fault : reading.addressFaults) out << prefix << AddressFaultText(fault) << '\n';
  if (!reading.image) {
    out << prefix << reading.refusal << '\n';
    return std::nullopt;
  }
  signature = signedReading.verification;
  if (signature && !options.json && !options.quiet) {
    out << prefix << trust::VerdictText(*signature) << "; trusted comment: " << signature->trustedComment << '\n';
  }
  if (reading.image->DataRecordCount() == 0) {
    out << prefix << kNoDataRefusal << '\n';
    return std::nullopt;
  }
  return reading.image;
}

// What each board gets written, ready before any port opens: the board data
// read, the image checked to hold it all, the record store's pool opened.
struct BoardSetup {
  std::unique_ptr<records::RecordStore> store;
  std::unique_ptr<BoardImages> boards;
};

int PrepareBoards(const Options& options, const std::shared_ptr<const FirmwareImage>& image, BoardSetup& setup,
                  const BoardDataReading* packaged = nullptr) {
  const BoardWrites& writes = options.boardWrites;
  // A station records every board, where the build has the store.
  const bool recording = writes.UsesStore() || (options.command == Command::Station && RecordStoreBuilt());
  if (!writes.Any() && !recording) return kExitSuccess;
  BoardDataReading data;
  if (writes.BoardData()) {
    data = packaged ? *packaged : ReadBoardData(writes.boardDataFile);
    if (packaged) {  // the lines its earlier runs used
      const FileContents used = ReadRegularFile(UsedLinesPath(writes.boardDataFile), package::kMaxBoardDataBytes);
      if (used.error.empty()) data.used = SplitLines(used.bytes).size();
    }
    if (!data.error.empty()) {
      std::cerr << "mx7410-flash: " << data.error << '\n';
      return kExitFileRefused;
    }
  }
  if (const std::string refusal = CheckBoardWrites(*image, writes, data.lines); !refusal.empty()) {
    std::cerr << "mx7410-flash: " << refusal << '\n';
    return kExitFileRefused;
  }
  records::StationIdentity identity;
  if (recording) {
    std::string error;
    identity = StationIdentityFor(writes);
    setup.store = OpenStoreForBoards(writes, identity, error);
    if (!setup.store) {
      std::cerr << "mx7410-flash: " << error << '\n';
      return kExitUsage;
    }
  }
  std::unique_ptr<StationLog> usedLines;
  if (writes.BoardData()) {
    try {
      usedLines = std::make_unique<StationLog>(UsedLinesPath(writes.boardDataFile));
    } catch (const std::runtime_error& error) {
      std::cerr << "mx7410-flash: " << error.what() << '\n';
      return kExitUsage;
    }
  }
  setup.boards =
      std::make_unique<BoardImages>(image, writes, std::move(data), std::move(usedLines), setup.store.get(), identity);
  return kExitSuccess;
}

// A sealed package on a station: verified, its settings in place, before any port opens.
int RunPackageStation(Options options) {
  int status = kExitSuccess;
  const auto opened = OpenPackageForRun(options, std::cerr, status);
  if (!opened) return status;
  if (!options.quiet) {
    std::cerr << "mx7410-flash: package " << opened->sealed.id << " signed by key "
              << trust::KeyIdText(opened->sealed.verification.keyId)
              << "; trusted comment: " << opened->sealed.verification.trustedComment << '\n';
  }
  BoardSetup boards;
  if (status = PrepareBoards(options, opened->image, boards, &opened->boardData); status != kExitSuccess) return status;
  return RunStation(options, opened->image, boards.boards.get());
}

}  // namespace
}  // namespace mx::flash

int main(int argc, char** argv) {
  using namespace mx::flash;
  PrepareProcessSignals();
  PrepareConsole();
  const ParsedCommandLine parsed = ParseCommandLine(ProgramArguments(argc, argv));
  switch (parsed.action) {
    case ParsedCommandLine::Action::ShowHelp:
      std::cout << HelpText();
      return kExitSuccess;
    case ParsedCommandLine::Action::ShowRecordsHelp:
      std::cout << RecordsHelpText();
      return kExitSuccess;
    case ParsedCommandLine::Action::ShowVersion:
      std::cout << "mx7410-flash " << MX_FLASH_VERSION << '\n';
      return kExitSuccess;
    case ParsedCommandLine::Action::UsageError:
      std::cerr << "mx7410-flash: " << parsed.error << '\n' << UsageText();
      return kExitUsage;
    case ParsedCommandLine::Action::Run:
      break;
  }
  Options options = parsed.options;
  if (options.command == Command::Keygen) return GenerateKeys(options, std::cout, std::cerr);
  if (options.command == Command::Sign) return SignFile(options, std::cout, std::cerr);
  if (options.command == Command::Package) return MakePackage(options, std::cout, std::cerr);
  if (options.FileIsPackage() && options.command == Command::Check) return CheckPackage(options, std::cout, std::cerr);
  if (options.FileIsPackage() && options.command == Command::Station) return RunPackageStation(options);
  const TrustedKeys trusted = CommandTakesFile(options.command) ? TrustedKeysFor(options) : TrustedKeys{};
  if (!trusted.error.empty()) {
    std::cerr << "mx7410-flash: " << trusted.error << '\n';
    return kExitUsage;
  }
  if (options.command == Command::Check) return CheckFile(options, trusted.keys, std::cout);
  if (options.command == Command::Ports) return ListPorts(options);
  if (options.command == Command::Records) return RunRecords(options.records, std::cout, std::cerr);
  std::optional<mx::trust::Verification> signature;
  const auto image = ImageForCommand(options, trusted.keys, signature);
  if (!image) return kExitFileRefused;
  if (signature) {  // each board's record names who vouched for its file
    options.boardWrites.keyId = mx::trust::KeyIdText(signature->keyId);
    options.boardWrites.trustedComment = signature->trustedComment;
  }
  BoardSetup boards;
  if (const int status = PrepareBoards(options, *image, boards); status != kExitSuccess) return status;
  if (options.command == Command::Station) return RunStation(options, *image, boards.boards.get());
  const bool several = options.allPorts || options.ports.size() > 1;
  if (several || options.json) return RunGang(options, *image, boards.boards.get(), signature);
  return RunCommand(options, *image, boards.boards.get());
}
