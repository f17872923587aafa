#include <cstdlib>
#include <string>

#include "records/RecordStore.h"

namespace mx::records {

// %LOCALAPPDATA%\mx7410\records.sqlite: this computer's, not roamed.
std::string DefaultDatabasePath() {
  const char* localAppData = std::getenv("LOCALAPPDATA");
  const std::string base = localAppData != nullptr && localAppData[0] != '\0' ? localAppData : ".";
  return base + "\\mx7410\\records.sqlite";
}

}  // namespace mx::records
