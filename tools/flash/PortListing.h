#pragma once

// `ports --long` and `ports --json`: each port with what the host knows of
// it, so that a fixture's slots can be bound to ports that survive
// re-plugging. And which listed ports a run on several takes.

#include <iosfwd>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "app/HostSystem.h"

namespace mx::flash {

// Tab-separated: name, device path, kind, USB vendor:product, serial number,
// by-id link, by-path link, description; "-" for what is unknown. A tab or a
// line break inside a field (a description, say) becomes a space.
std::string LongPortLine(const SerialPortInfo& port);

// Prints every port's line; the exit status: kExitPortFailed with a note on
// `err` when no port is listed.
int PrintLongPortList(const std::vector<SerialPortInfo>& ports, std::ostream& out, std::ostream& err);

// One JSON object without line end: "event": "port", "time", and the fields
// of LongPortLine as "name", "path", "kind", "usb_id", "serial_number",
// "by_id", "by_path", "description"; null for what is unknown.
std::string JsonPortLine(const SerialPortInfo& port);

// Prints every port's object, one a line; the exit status as
// PrintLongPortList's.
int PrintJsonPortList(const std::vector<SerialPortInfo>& ports, std::ostream& out, std::ostream& err);

// The ports of a run on several, from the ports the host lists: those given
// with --port; for --all-ports every listed adapter and simulator, as a
// built-in UART is often there with nothing behind it (named with --port it
// is taken); else the automatic choice, the last listed port. Empty when
// nothing fits.
std::vector<std::string> ChooseGangPorts(const Options& options, const std::vector<SerialPortInfo>& listed);

// Why ChooseGangPorts found nothing, one line without the program's name.
std::string NoGangPortNote(const Options& options);

}  // namespace mx::flash
