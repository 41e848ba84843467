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
// The same, written as the records arrive: the column widths come first, from
// the extent of the records to print (MeasureRecords), so that memory stays
// flat. `withStation` adds a STATION column (the factory database's records).
struct TableLayout {
  std::size_t id = 2, start = 7, outcome = 7, target = 6, station = 7;
  bool withStation = false;
};
TableLayout LayoutFor(const RecordsExtent& e, bool withStation = false);
std::string RecordsTableHeader(const TableLayout& t);
void AppendRecordRow(std::string& out, const DownloadRecord& r, const TableLayout& t);
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
