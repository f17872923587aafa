#pragma once

// The record store in one SQLite file, which several station processes on one
// computer may share: WAL, every commit on disk before it returns, and a busy
// timeout so that writers wait their turn.

#include <mutex>
#include <optional>

#include "records/LeaseRenewer.h"
#include "records/RecordStore.h"
#include "records/Sqlite.h"

namespace mx::records {

class SqliteRecordStore : public RecordStore {
 public:
  // Opens `path` (creating it and its folder), creates or upgrades the schema
  // and takes this instance's lease. Throws RecordStoreError.
  SqliteRecordStore(const std::string& path, const StationIdentity& who, const StoreOptions& options);
  // Ends the lease: this instance's unfinished reservations are free at once.
  ~SqliteRecordStore() override;

  std::string Location() const override { return path_; }
  std::optional<std::string> OpenPool(const std::string& pool, const PoolRange& range) override;
  ReserveResult Reserve(const std::string& pool) override;
  void Finish(const BoardRecord& record, const std::optional<Reservation>& reservation) override;
  void SettleCount(const Reservation& reservation, bool keep) override;
  std::vector<BoardRecord> Find(const RecordQuery& query) override;

 private:
  void Configure();
  void PrepareSchema();
  std::int64_t NowMs() const;
  void RenewLease();
  ReserveResult ReserveLowest(const std::string& pool);
  std::optional<std::int64_t> TakeLowestFreeNumber(const std::string& pool);
  // Whether the board is new: the same instance, slot and start are recorded once.
  bool InsertBoard(const BoardRecord& record, const std::optional<Reservation>& kept);
  // A passed board keeps the number; any other gives it back, if still this instance's.
  void Settle(const Reservation& reservation, bool keeps);

  std::string path_;
  StationIdentity who_;
  StoreOptions options_;
  std::mutex mutex_;  // one connection: every use of db_ holds it
  SqliteDatabase db_;
  std::optional<LeaseRenewer> renewer_;
};

}  // namespace mx::records
