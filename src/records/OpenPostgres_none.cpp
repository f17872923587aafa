#include "records/OpenPostgres.h"

namespace mx::records {

OpenedStore OpenPostgresStore(const std::string& location, const StationIdentity&, const StoreOptions&) {
  return {nullptr, "cannot open the record database " + WithoutPassword(location) +
                       ": PostgreSQL is not available in this build"};
}

}  // namespace mx::records
