#include <unistd.h>

#include "PackageTrust.h"

namespace mx::flash {

std::string AdminTrustedKeysFolder() { return MX_ADMIN_TRUSTED_KEYS; }

bool RunsAsAdministrator() { return geteuid() == 0; }

}  // namespace mx::flash
