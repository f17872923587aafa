#pragma once

// The record store behind --serial and --db: who this station is, and the
// store opened with its pool ready, before any port opens.

#include <memory>
#include <string>

#include "CommandLine.h"
#include "records/RecordStore.h"

namespace mx::flash {

// --station, else the host name; and an instance name of this process that
// no other run takes, before or after it.
records::StationIdentity StationIdentityFor(const BoardWrites& writes);

// Whether this build has the record store: without it a station keeps
// only its --log.
bool RecordStoreBuilt();

// The store at --db (else the default file), with the pool of --serial
// created or checked against --serial-range. Nothing, with `error` for the
// operator, when it cannot be opened or the pool has another range.
// BoardStoreOpen.cpp where the record store is built, else
// BoardStoreOpen_none.cpp.
std::unique_ptr<records::RecordStore> OpenStoreForBoards(const BoardWrites& writes, const records::StationIdentity& who,
                                                         std::string& error);

}  // namespace mx::flash
