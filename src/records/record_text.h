#pragma once
// The printed forms of station records (facset-cli history, and any later
// viewer): a table, JSON, CSV and the full view of one record.

#include <string>
#include <string_view>
#include <vector>

#include "records/records.h"

namespace facset {

// One line per record (id, start, outcome, target, block sha256) under a header.
std::string RecordsTable(const std::vector<DownloadRecord>& records);
// One JSON array of objects holding every field; the block as 512 hex digits.
std::string RecordsJson(const std::vector<DownloadRecord>& records);
// One element of that array, without separators.
void AppendRecordJson(std::string& out, const DownloadRecord& r);
// A header row and one row per record, every field but the block bytes and the
// log; fields quoted where RFC 4180 asks for it.
std::string RecordsCsv(const std::vector<DownloadRecord>& records);
// The header row and one record's row, each with its line end.
std::string_view RecordsCsvHeader();
void AppendRecordCsv(std::string& out, const DownloadRecord& r);
// Every field of one record, its log lines and its block as the set-value view.
std::string RecordDetail(const DownloadRecord& r);

}  // namespace facset
