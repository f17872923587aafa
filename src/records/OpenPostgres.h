#pragma once

// Opens the store on a PostgreSQL server, where this build has libpq.

#include "records/RecordStore.h"

namespace mx::records {

OpenedStore OpenPostgresStore(const std::string& location, const StationIdentity& who, const StoreOptions& options);

}  // namespace mx::records
