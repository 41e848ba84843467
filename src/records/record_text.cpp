#include "records/record_text.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "params/param_model.h"
#include "platform/text_encoding.h"
#include "platform/text_rules.h"
#include "records/json_text.h"
#include "records/values_set.h"

namespace facset {
namespace {

std::string BlockHex(const ParamBlock& b) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string s;
  s.reserve(b.size() * 2);
  for (std::uint8_t x : b) {
    s.push_back(kHex[x >> 4]);
    s.push_back(kHex[x & 0xF]);
  }
  return s;
}

std::string CsvField(std::string_view s) {
  if (s.find_first_of(",\"\r\n") == std::string_view::npos && (s.empty() || (s.front() != ' ' && s.back() != ' '))) {
    return std::string(s);
  }
  std::string q = "\"";
  for (char c : s) {
    if (c == '"') q.push_back('"');
    q.push_back(c);
  }
  q.push_back('"');
  return q;
}

template <typename T>
std::string OptionalText(const std::optional<T>& v) {
  return v ? std::to_string(*v) : std::string();
}

std::string Padded(std::string s, std::size_t width) {
  if (s.size() < width) s.append(width - s.size(), ' ');
  return s;
}

}  // namespace

TableLayout LayoutFor(const RecordsExtent& e, bool withStation) {
  TableLayout t;
  t.withStation = withStation;
  t.id = std::max(t.id, e.idChars);
  t.start = std::max(t.start, e.startBytes);
  for (RunOutcome o : {RunOutcome::Ok, RunOutcome::NotProven, RunOutcome::Failed, RunOutcome::Aborted}) {
    t.outcome = std::max(t.outcome, Spell(o).size());
  }
  t.target = std::max(t.target, e.targetBytes);
  t.station = std::max(t.station, e.stationBytes);
  return t;
}

std::string RecordsTableHeader(const TableLayout& t) {
  return (t.withStation ? Padded("STATION", t.station) + "  " : std::string()) + Padded("ID", t.id) + "  " +
         Padded("STARTED", t.start) + "  " + Padded("OUTCOME", t.outcome) + "  " + Padded("TARGET", t.target) +
         "  " + Padded("BLOCK SHA256", 64) + "  VALUES\n";
}

// The table and the full view are for a terminal: every text from the
// database is shown with its control characters escaped, never obeyed (an
// escaped text may then be wider than its column).
void AppendRecordRow(std::string& out, const DownloadRecord& r, const TableLayout& t) {
  if (t.withStation) out += Padded(EscapeForTerminal(r.station), t.station) + "  ";
  const std::string id = std::to_string(r.id);
  if (id.size() < t.id) out.append(t.id - id.size(), ' ');
  const std::string sha = r.blockSha256.empty() ? std::string("-") : EscapeForTerminal(r.blockSha256);
  const std::string values = EscapeForTerminal(ValuesSetText(r.valuesSet));
  out += id + "  " + Padded(EscapeForTerminal(r.startUtc), t.start) + "  " +
         Padded(std::string(Spell(r.outcome)), t.outcome) + "  " + Padded(EscapeForTerminal(r.target), t.target) +
         "  " + (values.empty() ? sha : Padded(sha, 64) + "  " + values) + "\n";
}

std::string RecordsTable(const std::vector<DownloadRecord>& records) {
  RecordsExtent e;
  for (const DownloadRecord& r : records) {
    e.idChars = std::max(e.idChars, std::to_string(r.id).size());
    e.startBytes = std::max(e.startBytes, EscapeForTerminal(r.startUtc).size());
    e.targetBytes = std::max(e.targetBytes, EscapeForTerminal(r.target).size());
  }
  const TableLayout t = LayoutFor(e);
  std::string out = RecordsTableHeader(t);
  for (const DownloadRecord& r : records) AppendRecordRow(out, r, t);
  return out;
}

void AppendRecordJson(std::string& out, const DownloadRecord& r) {
  // Every text of the record goes through one Qt serialization: a record's
  // twenty strings cost about what one does.
  struct Member {
    const char* name;
    std::optional<std::string_view> text;  // a string member; else `raw` is already JSON
    std::string raw;
  };
  auto number = [](const auto& v) { return v ? std::to_string(*v) : std::string("null"); };
  const std::string blockHex = r.block ? BlockHex(*r.block) : std::string();
  const std::vector<Member> members = {
      {"id", {}, std::to_string(r.id)},
      {"uid", r.uid, {}},
      {"started_utc", r.startUtc, {}},
      {"ended_utc", r.endUtc, {}},
      {"station", r.station, {}},
      {"operator", r.operatorName, {}},
      {"program", r.program, {}},
      {"version", r.version, {}},
      {"transport", r.transport, {}},
      {"target", r.target, {}},
      {"param_file", r.paramFile, {}},
      r.block ? Member{"block", std::string_view(blockHex), {}} : Member{"block", {}, "null"},
      {"block_sha256", r.blockSha256, {}},
      {"firmware_path", r.firmwarePath, {}},
      {"firmware_size", {}, number(r.firmwareSize)},
      {"firmware_sha256", r.firmwareSha256, {}},
      {"blocks_sent", {}, number(r.blocksSent)},
      {"blocks_to_send", {}, number(r.blocksToSend)},
      {"connect", Spell(r.connectOutcome), {}},
      {"block_step", Spell(r.blockOutcome), {}},
      {"firmware", Spell(r.firmwareOutcome), {}},
      {"outcome", Spell(r.outcome), {}},
      {"exit_code", {}, number(r.exitCode)},
      {"error", r.error, {}},
      {"values", {}, ValuesSetJson(r.valuesSet)},
  };
  std::vector<std::string_view> texts;
  texts.reserve(members.size() + r.log.size());
  for (const Member& m : members) {
    if (m.text) texts.push_back(*m.text);
  }
  for (const std::string& line : r.log) texts.push_back(line);
  const std::vector<std::string> json = JsonStrings(texts);
  std::size_t next = 0;
  out += '{';
  for (const Member& m : members) {
    out += '"';
    out += m.name;
    out += "\":";
    out += m.text ? json[next++] : m.raw;
    out += ',';
  }
  out += "\"log\":[";
  for (std::size_t i = 0; i < r.log.size(); ++i) {
    if (i) out += ',';
    out += json[next++];
  }
  out += "]}";
}

std::string RecordsJson(const std::vector<DownloadRecord>& records) {
  std::string out = "[";
  for (std::size_t k = 0; k < records.size(); ++k) {
    out += k ? ",\n" : "\n";
    AppendRecordJson(out, records[k]);
  }
  out += records.empty() ? "]\n" : "\n]\n";
  return out;
}

std::string_view RecordsCsvHeader() {
  return "id,started_utc,ended_utc,station,operator,program,version,transport,target,param_file,block_sha256,"
         "firmware_path,firmware_size,firmware_sha256,blocks_sent,blocks_to_send,connect,block,firmware,outcome,"
         "exit_code,error,values,uid\n";
}

void AppendRecordCsv(std::string& out, const DownloadRecord& r) {
  const std::string fields[] = {std::to_string(r.id), r.startUtc, r.endUtc, r.station, r.operatorName,
                                r.program, r.version, r.transport, r.target, r.paramFile, r.blockSha256,
                                r.firmwarePath, OptionalText(r.firmwareSize), r.firmwareSha256,
                                OptionalText(r.blocksSent), OptionalText(r.blocksToSend),
                                std::string(Spell(r.connectOutcome)), std::string(Spell(r.blockOutcome)),
                                std::string(Spell(r.firmwareOutcome)), std::string(Spell(r.outcome)),
                                OptionalText(r.exitCode), r.error, ValuesSetText(r.valuesSet), r.uid};
  bool first = true;
  for (const std::string& f : fields) {
    if (!first) out += ',';
    first = false;
    // Valid UTF-8 like the JSON form: a byte that is none becomes U+FFFD.
    out += CsvField(ValidUtf8(f));
  }
  out += '\n';
}

std::string RecordsCsv(const std::vector<DownloadRecord>& records) {
  std::string out(RecordsCsvHeader());
  for (const DownloadRecord& r : records) AppendRecordCsv(out, r);
  return out;
}

std::string RecordDetail(const DownloadRecord& r) {
  std::string out;
  auto line = [&](const char* name, const std::string& v) {
    out += Padded(name, 16) + (v.empty() ? "-" : EscapeForTerminal(v)) + "\n";
  };
  line("record", std::to_string(r.id));
  line("started", r.startUtc);
  line("ended", r.endUtc);
  line("station", r.station);
  line("operator", r.operatorName);
  line("program", r.program + (r.version.empty() ? "" : " " + r.version));
  line("transport", r.transport);
  line("target", r.target);
  line("parameter file", r.paramFile);
  line("block sha256", r.blockSha256);
  if (r.firmwarePath.empty() && r.firmwareOutcome == StepOutcome::NotAsked) {
    line("firmware", "none");
  } else {
    line("firmware", r.firmwarePath);
    line("firmware size", OptionalText(r.firmwareSize));
    line("firmware sha256", r.firmwareSha256);
    line("blocks sent", r.blocksSent || r.blocksToSend
                            ? (r.blocksSent ? std::to_string(*r.blocksSent) : std::string("?")) + " of " +
                                  (r.blocksToSend ? std::to_string(*r.blocksToSend) : std::string("?"))
                            : std::string());
  }
  line("connect", std::string(Spell(r.connectOutcome)));
  line("block", std::string(Spell(r.blockOutcome)));
  line("firmware step", std::string(Spell(r.firmwareOutcome)));
  line("outcome", std::string(Spell(r.outcome)));
  line("exit code", OptionalText(r.exitCode));
  if (!r.error.empty()) line("error", r.error);
  if (!r.valuesSet.empty()) line("values", ValuesSetText(r.valuesSet));
  out += "log:\n";
  // A message may hold CR LF (the report's time line): each of its lines indented.
  for (const std::string& l : r.log) {
    std::size_t from = 0;
    for (;;) {
      const std::size_t eol = l.find_first_of("\r\n", from);
      out += "  " + EscapeForTerminal(l.substr(from, eol - from)) + "\n";
      if (eol == std::string::npos) break;
      from = eol + LineBreakLen(l, eol);
    }
  }
  if (r.block) {
    out += "block:\n";
    out += kSetValuesHeader;
    out += '\n';
    for (const std::string& l : SetValuesText(*r.block)) out += l + "\n";
  }
  return out;
}

}  // namespace facset
