#include <unistd.h>

#include <climits>

#include "HostName.h"

namespace mx::flash {

std::string HostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "unknown";
  return name;
}

}  // namespace mx::flash
