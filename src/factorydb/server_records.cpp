#include "factorydb/server_records.h"

#include <cstring>

#include "platform/text_encoding.h"
#include "records/json_text.h"
#include "records/values_set.h"

namespace facset {
namespace {

// Text the server takes: UTF-8 only, no NUL. What is not (a path in GBK
// bytes) arrives with U+FFFD in place of each byte that does not fit.
std::string ServerText(std::string_view s) {
  std::string out = ValidUtf8(s);
  for (std::size_t at; (at = out.find('\0')) != std::string::npos;) out.replace(at, 1, "\xEF\xBF\xBD");
  return out;
}

constexpr const char* kInsertColumns =
    "INSERT INTO facset.records (uid, station, station_record, started, ended, operator, program, program_version,"
    " transport, target, param_file, block, block_sha256, firmware_path, firmware_size, firmware_sha256,"
    " blocks_sent, blocks_to_send, connect_outcome, block_outcome, firmware_outcome, outcome, exit_code, error,"
    " log, values_set) VALUES ";
// Each row's placeholders carry their type, so that a row of NULLs needs no guessing.
constexpr const char* kInsertTypes[] = {"uuid",   "text",   "bigint", "timestamptz", "timestamptz", "text", "text",
                                        "text",   "text",   "text",   "text",        "bytea",       "text", "text",
                                        "bigint", "text",   "bigint", "bigint",      "text",        "text", "text",
                                        "text",   "integer", "text",  "json",        "json"};
constexpr int kInsertWidth = static_cast<int>(std::size(kInsertTypes));

void AppendRow(std::vector<PgParam>& p, const DownloadRecord& r) {
  auto text = [&](const std::string& v) { p.push_back(PgParam::Text(ServerText(v))); };
  p.push_back(PgParam::Text(r.uid));
  text(r.station);
  p.push_back(PgParam::Int(r.id));
  text(r.startUtc);
  text(r.endUtc);
  text(r.operatorName);
  text(r.program);
  text(r.version);
  text(r.transport);
  text(r.target);
  text(r.paramFile);
  p.push_back(r.block ? PgParam::Bytes(std::string(reinterpret_cast<const char*>(r.block->data()), r.block->size()))
                      : PgParam::Null());
  text(r.blockSha256);
  text(r.firmwarePath);
  p.push_back(PgParam::Optional(r.firmwareSize));
  text(r.firmwareSha256);
  p.push_back(PgParam::Optional(r.blocksSent));
  p.push_back(PgParam::Optional(r.blocksToSend));
  text(std::string(Spell(r.connectOutcome)));
  text(std::string(Spell(r.blockOutcome)));
  text(std::string(Spell(r.firmwareOutcome)));
  text(std::string(Spell(r.outcome)));
  p.push_back(PgParam::Optional(r.exitCode));
  text(r.error);
  p.push_back(PgParam::Text(JsonStringArray(r.log)));
  p.push_back(PgParam::Text(ValuesSetJson(r.valuesSet)));
}

constexpr const char* kSelect =
    "SELECT station_record, uid, to_char(started AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'),"
    " to_char(ended AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'), station, operator, program,"
    " program_version, transport, target, param_file, encode(block, 'hex'), block_sha256, firmware_path,"
    " firmware_size, firmware_sha256, blocks_sent, blocks_to_send, connect_outcome, block_outcome,"
    " firmware_outcome, outcome, exit_code, error, log, coalesce(values_set::text, '[]')"
    " FROM facset.records WHERE true";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

DownloadRecord RowToRecord(const PgRows& row) {
  DownloadRecord r;
  int i = 0;
  auto text = [&] { return std::string(row.Text(0, i++)); };
  auto optional = [&]() -> std::optional<std::int64_t> {
    const int c = i++;
    if (row.IsNull(0, c)) return std::nullopt;
    return row.Int(0, c);
  };
  r.id = row.Int(0, i++);
  r.uid = text();
  r.startUtc = text();
  r.endUtc = text();
  r.station = text();
  r.operatorName = text();
  r.program = text();
  r.version = text();
  r.transport = text();
  r.target = text();
  r.paramFile = text();
  if (const std::string_view hex = row.Text(0, i++); hex.size() == 2 * ParamBlock{}.size()) {
    ParamBlock b{};
    for (std::size_t k = 0; k < b.size(); ++k) {
      b[k] = static_cast<std::uint8_t>(HexDigit(hex[2 * k]) << 4 | HexDigit(hex[2 * k + 1]));
    }
    r.block = b;
  }
  r.blockSha256 = text();
  r.firmwarePath = text();
  r.firmwareSize = optional();
  r.firmwareSha256 = text();
  r.blocksSent = optional();
  r.blocksToSend = optional();
  auto step = [&] { return ParseStepOutcome(text()).value_or(StepOutcome::Unknown); };
  r.connectOutcome = step();
  r.blockOutcome = step();
  r.firmwareOutcome = step();
  r.outcome = ParseRunOutcome(text()).value_or(RunOutcome::Failed);
  if (auto code = optional()) r.exitCode = static_cast<int>(*code);
  r.error = text();
  r.log = ParseJsonStringArray(row.Text(0, i++));
  r.valuesSet = ParseValuesSetJson(row.Text(0, i));
  return r;
}

}  // namespace

std::optional<std::int64_t> InsertServerRecords(PgSession& s, std::span<const DownloadRecord> records) {
  if (records.empty()) return 0;
  std::string sql = kInsertColumns;
  std::vector<PgParam> params;
  params.reserve(records.size() * kInsertWidth);
  for (std::size_t row = 0; row < records.size(); ++row) {
    sql += row ? ",(" : "(";
    for (int c = 0; c < kInsertWidth; ++c) {
      if (c) sql += ',';
      sql += '$' + std::to_string(row * kInsertWidth + c + 1) + "::" + kInsertTypes[c];
    }
    sql += ')';
    AppendRow(params, records[row]);
  }
  sql += " ON CONFLICT (uid) DO NOTHING";
  const auto done = s.Exec(sql, params);
  if (!done) return std::nullopt;
  return done->Affected();
}

namespace {

// The query of `f`'s records, newest first, with `select` as its columns.
std::string Selected(const std::string& select, const ServerRecordFilter& f, std::vector<PgParam>& params,
                     bool ordered = true) {
  std::string sql = select;
  auto param = [&](std::string v) {
    params.push_back(PgParam::Text(std::move(v)));
    return "$" + std::to_string(params.size());
  };
  if (!f.local.sinceUtc.empty()) sql += " AND started >= " + param(f.local.sinceUtc + "Z") + "::timestamptz";
  if (!f.local.target.empty()) {
    // The whole target, or one of its words (a serial target is "COM1 /dev/ttyUSB0").
    const std::string t = param(f.local.target);
    sql += " AND (target = " + t + " OR string_to_array(target, ' ') @> ARRAY[" + t + "::text])";
  }
  if (f.local.failedOnly) sql += " AND outcome <> 'ok'";
  if (!f.station.empty()) sql += " AND station = " + param(f.station);
  if (f.stationRecord > 0) sql += " AND station_record = " + param(std::to_string(f.stationRecord)) + "::bigint";
  // Counting needs no order, unless only the newest count.
  if (ordered || f.local.limit > 0) sql += " ORDER BY started DESC, station DESC, station_record DESC";
  if (f.local.limit > 0) sql += " LIMIT " + std::to_string(f.local.limit);
  return sql;
}

}  // namespace

bool ForEachServerRecord(PgSession& s, const ServerRecordFilter& f,
                         const std::function<bool(const DownloadRecord&)>& each) {
  std::vector<PgParam> params;
  const std::string sql = Selected(kSelect, f, params);
  return s.Stream(sql, params, [&](const PgRows& row) { return each(RowToRecord(row)); });
}

bool MeasureServerRecords(PgSession& s, const ServerRecordFilter& f, RecordsExtent& out) {
  out = RecordsExtent{};
  std::vector<PgParam> params;
  const std::string sql =
      "SELECT count(*), coalesce(max(length(station_record::text)), 0), coalesce(max(octet_length(target)), 0),"
      " coalesce(max(octet_length(station)), 0) FROM (" +
      Selected("SELECT station_record, target, station FROM facset.records WHERE true", f, params, false) +
      ") picked";
  const auto rows = s.Exec(sql, params);
  if (!rows) return false;
  out.count = rows->Int(0, 0);
  out.idChars = static_cast<std::size_t>(rows->Int(0, 1));
  out.startBytes = 24;  // "2026-12-10T04:01:26.123Z", as the server gives it back
  out.targetBytes = static_cast<std::size_t>(rows->Int(0, 2));
  out.stationBytes = static_cast<std::size_t>(rows->Int(0, 3));
  return true;
}

}  // namespace facset
