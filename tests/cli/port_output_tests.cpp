// mx7410-flash's port choices and listings, and the transient line on a
// terminal with and without control sequences.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "CommandLine.h"
#include "PortListing.h"
#include "TerminalView.h"

namespace mx::flash {
namespace {

SerialPortInfo Port(std::string name, PortKind kind) {
  SerialPortInfo port;
  port.name = std::move(name);
  port.devicePath = "/dev/" + port.name;
  port.kind = kind;
  return port;
}

// A built-in UART first (often with nothing behind it), the adapters, a simulator.
const std::vector<SerialPortInfo> kListed{Port("ttyS0", PortKind::BuiltIn), Port("ttyUSB0", PortKind::Usb),
                                          Port("ttyACM0", PortKind::Acm),
                                          Port("/run/mx7410/sim0", PortKind::Simulator)};

struct GangCase {
  const char* what;
  std::vector<std::string> ports;  // --port
  bool allPorts;
  std::vector<SerialPortInfo> listed;
  std::vector<std::string> expected;
};

TEST(GangPorts, AllPortsTakesAdaptersAndSimulatorsAndPortTakesAnyPort) {
  const GangCase cases[] = {
      {"--all-ports leaves the built-in UART out", {}, true, kListed, {"ttyUSB0", "ttyACM0", "/run/mx7410/sim0"}},
      {"--all-ports with only built-in UARTs", {}, true, {Port("ttyS0", PortKind::BuiltIn)}, {}},
      {"--port takes a built-in UART", {"ttyS0", "ttyUSB0"}, false, kListed, {"ttyS0", "ttyUSB0"}},
      {"no port: the automatic choice, the last listed", {}, false, kListed, {"/run/mx7410/sim0"}},
      {"no port and only a built-in UART: still the last listed",
       {},
       false,
       {Port("ttyS0", PortKind::BuiltIn)},
       {"ttyS0"}},
      {"nothing listed", {}, false, {}, {}},
  };
  for (const GangCase& c : cases) {
    SCOPED_TRACE(c.what);
    Options options;
    options.ports = c.ports;
    options.allPorts = c.allPorts;
    EXPECT_EQ(ChooseGangPorts(options, c.listed), c.expected);
  }
  Options all;
  all.allPorts = true;
  EXPECT_NE(NoGangPortNote(all).find("--port"), std::string::npos) << "says how to take a built-in port";
}

TEST(PortListing, JsonLinesCarryTheLongFieldsWithNullForTheUnknown) {
  SerialPortInfo adapter = Port("ttyUSB0", PortKind::Usb);
  adapter.usbId = "0403:6001";
  adapter.serialNumber = "FT4XQ2";
  adapter.byId = "/dev/serial/by-id/usb-FTDI-if00-port0";
  adapter.description = "FTDI \"FT232R\"\nUART \xff";  // quotes, a line break, a byte that is not UTF-8
  std::ostringstream out;
  std::ostringstream err;
  ASSERT_EQ(PrintJsonPortList({adapter, Port("ttyS0", PortKind::BuiltIn)}, out, err), kExitSuccess);
  EXPECT_EQ(err.str(), "");

  std::istringstream lines(out.str());
  std::string line;
  std::vector<nlohmann::json> objects;
  while (std::getline(lines, line)) objects.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(objects.size(), 2u);
  const nlohmann::json& usb = objects[0];
  EXPECT_EQ(usb["event"], "port");
  EXPECT_TRUE(usb["time"].is_string());
  EXPECT_EQ(usb["name"], "ttyUSB0");
  EXPECT_EQ(usb["path"], "/dev/ttyUSB0");
  EXPECT_EQ(usb["kind"], "USB");
  EXPECT_EQ(usb["usb_id"], "0403:6001");
  EXPECT_EQ(usb["serial_number"], "FT4XQ2");
  EXPECT_EQ(usb["by_id"], "/dev/serial/by-id/usb-FTDI-if00-port0");
  EXPECT_TRUE(usb["by_path"].is_null());
  EXPECT_EQ(usb["description"], "FTDI \"FT232R\"\nUART \xEF\xBF\xBD");
  EXPECT_EQ(objects[1]["kind"], "built-in");
  EXPECT_TRUE(objects[1]["usb_id"].is_null());
  EXPECT_TRUE(objects[1]["description"].is_null());

  std::ostringstream none;
  EXPECT_EQ(PrintJsonPortList({}, none, err), kExitPortFailed);
  EXPECT_EQ(none.str(), "") << "standard output carries JSON only";
}

// ---- the transient line ----------------------------------------------------

StreamSettings OnTerminal(bool controlSequences) {
  StreamSettings settings;
  settings.outputIsTerminal = true;
  settings.errorIsTerminal = true;
  settings.columns = 20;
  settings.controlSequences = controlSequences;
  return settings;
}

TEST(StreamOutput, WithoutControlSequencesSpacesCoverTheOldLine) {
  std::ostringstream out, err;
  StreamOutput output(out, err, OnTerminal(false));
  output.Waiting("waiting 10 s");
  output.Waiting("waiting 9 s");  // one shorter: a space covers the old last character
  output.Line("OldVersion:010203");
  output.Waiting("\xE7\xAD\x89 1");  // a wide character: two columns
  output.EndTransient();
  EXPECT_EQ(out.str(), "OldVersion:010203\n");
  EXPECT_EQ(err.str(),
            "\rwaiting 10 s"
            "\rwaiting 9 s "
            "\r           \r"  // lifted off for the line of standard output
            "\rwaiting 9 s"    // and put back
            "\r\xE7\xAD\x89 1       "
            "\r    \r");
  EXPECT_EQ(err.str().find('\x1b'), std::string::npos);
}

TEST(StreamOutput, PaddingStopsShortOfTheLastColumn) {
  std::ostringstream out, err;
  StreamOutput output(out, err, OnTerminal(false));
  output.Waiting(std::string(30, 'x'));  // wider than the terminal
  output.Waiting("x");
  output.EndTransient();
  EXPECT_EQ(err.str(), "\r" + std::string(30, 'x') + "\rx" + std::string(18, ' ') + "\r \r");
}

TEST(StreamOutput, WithControlSequencesTheLineIsClearedToItsEnd) {
  std::ostringstream out, err;
  StreamOutput output(out, err, OnTerminal(true));
  output.Waiting("waiting 10 s");
  output.Note("no reply");
  output.EndTransient();
  EXPECT_EQ(err.str(), "\rwaiting 10 s\x1b[K\r\x1b[Kmx7410-flash: no reply\n\rwaiting 10 s\x1b[K\r\x1b[K");
}

}  // namespace
}  // namespace mx::flash
