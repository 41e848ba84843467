#pragma once
// The printed forms of station records (facset-cli history, and any later
// viewer): a table, JSON, CSV and the full view of one record.

#include <string>
#include <vector>

#include "records/records.h"

namespace facset {

// One line per record (id, start, outcome, target, block sha256) under a header.
std::string RecordsTable(const std::vector<DownloadRecord>& records);
// One JSON array of objects holding every field; the block as 512 hex digits.
std::string RecordsJson(const std::vector<DownloadRecord>& records);
// A header row and one row per record, every field but the block bytes and the
// log; fields quoted where RFC 4180 asks for it.
std::string RecordsCsv(const std::vector<DownloadRecord>& records);
// Every field of one record, its log lines and its block as the set-value view.
std::string RecordDetail(const DownloadRecord& r);

}  // namespace facset
