#include "BoardStore.h"

#include <cstdio>
#include <random>

#include "HostName.h"

namespace mx::flash {

records::StationIdentity StationIdentityFor(const BoardWrites& writes) {
  std::random_device random;
  char instance[40];
  std::snprintf(instance, sizeof instance, "%08x%08x", random(), random());
  return {writes.station.empty() ? HostName() : writes.station, instance};
}

}  // namespace mx::flash
