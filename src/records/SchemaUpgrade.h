#pragma once

// The schema's upgrade, which every store applies alike.

#include <cstdint>
#include <string>

#include "records/RecordSql.h"
#include "records/RecordStore.h"

namespace mx::records {

// Brings a database of schema `version` up to the newest: run(sql) runs each
// step, recordVersion(version) notes each version reached. The caller holds
// the lock or transaction under which no other station upgrades at once.
template <typename Run, typename RecordVersion>
void UpgradeSchema(std::int64_t version, Run run, RecordVersion recordVersion) {
  if (version > sql::kSchemaVersion) {
    throw RecordStoreError("its schema version " + std::to_string(version) + " is newer than this program's (" +
                           std::to_string(sql::kSchemaVersion) + "); use a newer mx7410-flash");
  }
  for (std::int64_t next = version + 1; next <= sql::kSchemaVersion; ++next) {
    for (const char* step : sql::kSchemaSteps[next - 1]) run(step);
    recordVersion(next);
  }
}

}  // namespace mx::records
