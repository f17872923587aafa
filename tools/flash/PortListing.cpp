#include "PortListing.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <ostream>

#include "JsonEvent.h"

namespace mx::flash {

namespace {

std::string Field(std::string text) {
  if (text.empty()) return "-";
  std::replace_if(
      text.begin(), text.end(), [](char c) { return c == '\t' || c == '\n' || c == '\r'; }, ' ');
  return text;
}

nlohmann::json JsonField(const std::string& text) { return text.empty() ? nlohmann::json() : nlohmann::json(text); }

int PrintPortList(const std::vector<SerialPortInfo>& ports, std::ostream& out, std::ostream& err,
                  std::string (*line)(const SerialPortInfo&)) {
  if (ports.empty()) {
    err << "mx7410-flash: no serial port is listed\n";
    return kExitPortFailed;
  }
  for (const SerialPortInfo& port : ports) out << line(port) << '\n';
  return kExitSuccess;
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
  return PrintPortList(ports, out, err, LongPortLine);
}

std::string JsonPortLine(const SerialPortInfo& port) {
  nlohmann::json object = JsonEvent("port");
  object["name"] = port.name;
  object["path"] = JsonField(port.devicePath);
  object["kind"] = PortKindName(port.kind);
  object["usb_id"] = JsonField(port.usbId);
  object["serial_number"] = JsonField(port.serialNumber);
  object["by_id"] = JsonField(port.byId);
  object["by_path"] = JsonField(port.byPath);
  object["description"] = JsonField(port.description);
  // Names and descriptions come from devices: replace bytes that are not UTF-8.
  return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

int PrintJsonPortList(const std::vector<SerialPortInfo>& ports, std::ostream& out, std::ostream& err) {
  return PrintPortList(ports, out, err, JsonPortLine);
}

std::vector<std::string> ChooseGangPorts(const Options& options, const std::vector<SerialPortInfo>& listed) {
  if (!options.ports.empty()) return options.ports;
  std::vector<std::string> names;
  if (!options.allPorts) {
    if (!listed.empty()) names.push_back(listed.back().name);
    return names;
  }
  for (const SerialPortInfo& port : listed) {
    if (port.kind != PortKind::BuiltIn) names.push_back(port.name);
  }
  return names;
}

std::string NoGangPortNote(const Options& options) {
  if (options.allPorts) return "no USB, ACM or simulated port is listed; name a built-in port with --port";
  return "no serial port is listed";
}

}  // namespace mx::flash
