#pragma once
// The records on the factory database: written by the stations' forwarding,
// read by `history --server`.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "factorydb/pg_session.h"
#include "records/records.h"

namespace facset {

// Inserts each record under its uid; a record already there is left as it is,
// so sending a batch again changes nothing. The number of rows new to the
// server, or nullopt (the session's error) with nothing written.
std::optional<std::int64_t> InsertServerRecords(PgSession& s, std::span<const DownloadRecord> records);

struct ServerRecordFilter {
  RecordFilter local;   // the same filters as the station's history
  std::string station;  // "" = every station
  std::int64_t stationRecord = 0;  // only this record of `station`; 0 = all
};

// The matching records, newest first, each handed over as it arrives; the
// record's id is its number in its station's database. `each` returns false
// to stop. False on failure (the session's error).
bool ForEachServerRecord(PgSession& s, const ServerRecordFilter& f,
                         const std::function<bool(const DownloadRecord&)>& each);
// How wide those records print (see MeasureRecords). False on failure.
bool MeasureServerRecords(PgSession& s, const ServerRecordFilter& f, RecordsExtent& out);

}  // namespace facset
