#include <cstdlib>
#include <string>

#include "records/RecordStore.h"

namespace mx::records {

// $XDG_DATA_HOME/mx7410/records.sqlite, or ~/.local/share/mx7410/records.sqlite
// when XDG_DATA_HOME is unset or not absolute (as the XDG rules say).
std::string DefaultDatabasePath() {
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  if (dataHome != nullptr && dataHome[0] == '/') return std::string(dataHome) + "/mx7410/records.sqlite";
  const char* home = std::getenv("HOME");
  const std::string base = home != nullptr && home[0] != '\0' ? home : ".";
  return base + "/.local/share/mx7410/records.sqlite";
}

}  // namespace mx::records
