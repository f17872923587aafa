#include "PortTable.h"

#include <algorithm>
#include <cstdio>

namespace mx::flash {

std::string PortTableLine(const PortTableRow& row, std::size_t portWidth, int stateWidth, int columns) {
  char percent[8] = "";
  if (row.progress) std::snprintf(percent, sizeof percent, "%3d%%", WholePercent(*row.progress));
  // Without progress beside it, a state is shown whole ("waiting for the number pool").
  const int shownState = row.progress ? stateWidth : std::max(stateWidth, static_cast<int>(row.state.size()));
  char line[512];
  std::snprintf(line, sizeof line, "%-*s  %-*.*s %4s  %s", static_cast<int>(portWidth), row.port.c_str(), shownState,
                shownState, row.state.c_str(), percent, row.progress ? FormatRate(*row.progress).c_str() : "");
  std::string text = line;
  const auto width = static_cast<std::size_t>(std::max(columns - 1, 20));
  if (text.size() > width) text.resize(width);
  return text;
}

std::size_t DrawPortTable(std::ostream& err, const std::vector<PortTableRow>& rows, int stateWidth, int columns,
                          const std::string& footer) {
  std::size_t portWidth = 4;
  for (const PortTableRow& row : rows) portWidth = std::max(portWidth, row.port.size());
  for (const PortTableRow& row : rows) err << PortTableLine(row, portWidth, stateWidth, columns) << '\n';
  if (!footer.empty()) err << footer.substr(0, static_cast<std::size_t>(std::max(columns - 1, 20))) << '\n';
  err << std::flush;
  return rows.size() + (footer.empty() ? 0 : 1);
}

void ClearPortTable(std::ostream& err, std::size_t& lines) {
  if (lines == 0) return;
  err << "\r\x1b[" << lines << "A\x1b[J" << std::flush;
  lines = 0;
}

}  // namespace mx::flash
