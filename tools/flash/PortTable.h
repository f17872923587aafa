#pragma once

// The live table that runs on several ports show on standard error: one row
// per port (state, percent, rate, time left), drawn in place. A gang and a
// station draw it the same way.

#include <cstddef>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "ProgressBar.h"

namespace mx::flash {

struct PortTableRow {
  std::string port;
  std::string state;
  std::optional<ProgressSample> progress;
};

// One row as a line of at most `columns - 1` characters, the port padded to
// `portWidth` and the state cut to `stateWidth` while progress stands beside it.
std::string PortTableLine(const PortTableRow& row, std::size_t portWidth, int stateWidth, int columns);

// Draws the rows (and `footer` when not empty) and returns how many lines
// now stand on the screen.
std::size_t DrawPortTable(std::ostream& err, const std::vector<PortTableRow>& rows, int stateWidth, int columns,
                          const std::string& footer = {});

// Takes `lines` drawn lines off the screen: up to the first, cleared below.
void ClearPortTable(std::ostream& err, std::size_t& lines);

}  // namespace mx::flash
