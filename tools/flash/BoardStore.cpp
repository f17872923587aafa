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

std::unique_ptr<records::RecordStore> OpenStoreForBoards(const BoardWrites&, const records::StationIdentity&,
                                                         std::string& error) {
  error = "no record store is built into this mx7410-flash: --serial and --db cannot be used";
  return nullptr;
}

}  // namespace mx::flash
