#pragma once

// The record store on a PostgreSQL server that a line of stations shares.
// An instance is alive while its session holds an advisory lock keyed by
// its name, or while its lease row is fresh (which carries it across a
// server restart). Boards finished and places of a count kept while the
// server is out of reach wait in a local spool and are sent in order once it
// is back; places given back meanwhile wait in memory (should the station
// end first, its lease gives them back).

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "records/LeaseRenewer.h"
#include "records/Postgres.h"
#include "records/RecordSpool.h"
#include "records/RecordStore.h"

namespace mx::records {

class PostgresRecordStore : public RecordStore {
 public:
  // Connects, creates or upgrades the schema, takes this instance's lock and
  // lease, and sends what the spool holds. Throws RecordStoreError.
  PostgresRecordStore(const std::string& location, const StationIdentity& who, const StoreOptions& options,
                      const std::string& spoolPath);
  // Sends the spool, then ends the lease and the session: this instance's
  // reservations are free. With the spool unsent the lease runs out by itself.
  ~PostgresRecordStore() override;

  std::string Location() const override { return shownLocation_; }
  std::optional<std::string> OpenPool(const std::string& pool, const PoolRange& range) override;
  ReserveResult Reserve(const std::string& pool) override;
  void Finish(const BoardRecord& record, const std::optional<Reservation>& reservation) override;
  void SettleCount(const Reservation& reservation, bool keep) override;
  std::vector<BoardRecord> Find(const RecordQuery& query) override;

 private:
  // Reconnects when needed, renews the lease and sends the spool.
  void Refresh();
  void TakeInstanceLock();
  void PrepareSchema();
  std::int64_t NowMs() const;
  void RenewLease();
  ReserveResult ReserveLowest(const std::string& pool);
  void Record(const BoardRecord& record, const std::optional<Reservation>& reservation, const std::string& holder);
  // Refreshes and runs `send`, once more on a new session if the first fails
  // for want of the server. Throws PostgresUnreachable after the second.
  void SendReconnectingOnce(const std::function<void()>& send);
  void SettleInTransaction(const Reservation& reservation, bool keeps, const std::string& holder);
  void Settle(const Reservation& reservation, bool keeps, const std::string& holder);
  void SendSpool();

  std::string shownLocation_;
  StationIdentity who_;
  StoreOptions options_;
  std::mutex mutex_;  // one connection: every use of it holds the mutex
  PgConnection connection_;
  bool instanceLocked_ = false;  // this session holds the instance's advisory lock
  RecordSpool spool_;
  std::vector<Reservation> unsentGiveBacks_;  // this instance's, under the mutex
  std::optional<LeaseRenewer> renewer_;
};

}  // namespace mx::records
