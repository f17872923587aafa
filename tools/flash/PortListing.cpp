#include "PortListing.h"

#include <algorithm>
#include <ostream>

#include "CommandLine.h"

namespace mx::flash {

namespace {

std::string Field(std::string text) {
  if (text.empty()) return "-";
  std::replace_if(
      text.begin(), text.end(), [](char c) { return c == '\t' || c == '\n' || c == '\r'; }, ' ');
  return text;
}

}  // namespace

std::string LongPortLine(const SerialPortInfo& port) {
  const std::string fields[] = {port.name, port.devicePath, PortKindName(port.kind), port.usbId, port.serialNumber,
                                port.byId, port.byPath,     port.description};
  std::string line;
  for (const std::string& field : fields) {
    if (!line.empty()) line += '\t';
    line += Field(field);
  }
  return line;
}

int PrintLongPortList(const std::vector<SerialPortInfo>& ports, std::ostream& out, std::ostream& err) {
  if (ports.empty()) {
    err << "mx7410-flash: no serial port is listed\n";
    return kExitPortFailed;
  }
  for (const SerialPortInfo& port : ports) out << LongPortLine(port) << '\n';
  return kExitSuccess;
}

}  // namespace mx::flash
