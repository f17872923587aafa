#include "BoardStore.h"

namespace mx::flash {

bool RecordStoreBuilt() { return false; }

// A build without SQLite has no record store.
std::unique_ptr<records::RecordStore> OpenStoreForBoards(const BoardWrites&, const records::StationIdentity&,
                                                         std::string& error) {
  error = "this mx7410-flash was built without the record store: --serial and --db cannot be used";
  return nullptr;
}

}  // namespace mx::flash
