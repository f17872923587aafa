#include "BoardStore.h"

namespace mx::flash {

bool RecordStoreBuilt() { return true; }

std::unique_ptr<records::RecordStore> OpenStoreForBoards(const BoardWrites& writes, const records::StationIdentity& who,
                                                         std::string& error) {
  const std::string location = writes.database.empty() ? records::DefaultDatabasePath() : writes.database;
  records::OpenedStore opened = records::OpenRecordStore(location, who);
  if (!opened.store) {
    error = opened.error;
    if (writes.database.empty()) error += " (the default record file; --db names another)";
    return nullptr;
  }
  if (writes.Serial()) {
    if (const auto refusal = opened.store->OpenPool(writes.pool, {writes.serialFirst, writes.serialLast})) {
      error = *refusal;
      return nullptr;
    }
  }
  if (writes.maxBoards) {
    if (const auto refusal = opened.store->OpenPool(writes.BoardCountPool(), {1, *writes.maxBoards})) {
      error = *refusal;
      return nullptr;
    }
  }
  return std::move(opened.store);
}

}  // namespace mx::flash
