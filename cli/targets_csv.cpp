#include "targets_csv.h"

#include <csv.h>

#include "platform/text_encoding.h"
#include "platform/text_rules.h"

namespace facset::cli {
namespace {

struct Reader {
  std::vector<std::string> fields;
  std::vector<std::vector<std::string>> rows;
  std::vector<int> rowLines;
  int line = 1;       // the line being fed
  int rowLine = 0;    // the line the current row began on
};

extern "C" void OnField(void* data, std::size_t len, void* reader) {
  auto* r = static_cast<Reader*>(reader);
  if (r->fields.empty()) r->rowLine = r->line;
  r->fields.emplace_back(static_cast<const char*>(data), data ? len : 0);
}

extern "C" void OnRowEnd(int, void* reader) {
  auto* r = static_cast<Reader*>(reader);
  r->rows.push_back(std::move(r->fields));
  r->rowLines.push_back(r->rowLine);
  r->fields.clear();
}

bool ValidUtf8Text(std::string_view s) { return ValidUtf8(s) == s; }

}  // namespace

std::string_view WithoutBom(std::string_view text) {
  return text.substr(0, 3) == "\xEF\xBB\xBF" ? text.substr(3) : text;
}

bool IsTargetsTable(std::string_view text) {
  text = WithoutBom(text);
  text = text.substr(0, text.find_first_of("\r\n"));
  const std::string_view first = TrimBlanks(text.substr(0, text.find(',')));
  return EqualsFoldedAscii(first, "target") || EqualsFoldedAscii(first, "\"target\"");
}

std::string ParseTargetsTable(std::string_view text, TargetsTable& out) {
  text = WithoutBom(text);
  if (!ValidUtf8Text(text)) return "not UTF-8 text (save the table as UTF-8)";
  csv_parser p{};
  if (csv_init(&p, CSV_STRICT | CSV_STRICT_FINI) != 0) return "cannot read the table: out of memory";
  Reader r;
  std::string error;
  // Line by line, so that each row knows the line it began on.
  while (!text.empty() && error.empty()) {
    const std::size_t nl = text.find('\n');
    const std::string_view piece = text.substr(0, nl == std::string_view::npos ? text.size() : nl + 1);
    if (csv_parse(&p, piece.data(), piece.size(), OnField, OnRowEnd, &r) != piece.size()) {
      error = "line " + std::to_string(r.line) + ": a quote where RFC 4180 allows none (" +
              csv_strerror(csv_error(&p)) + ")";
    }
    text.remove_prefix(piece.size());
    ++r.line;
  }
  if (error.empty() && csv_fini(&p, OnField, OnRowEnd, &r) != 0) {
    error = "line " + std::to_string(r.rowLine) + ": a quoted field is never closed";
  }
  csv_free(&p);
  if (!error.empty()) return error;
  if (r.rows.empty()) return "no header line";

  const std::vector<std::string>& header = r.rows[0];
  for (std::size_t i = 1; i < header.size(); ++i) {
    const std::string name(TrimBlanks(header[i]));
    if (name.empty()) return "line 1: column " + std::to_string(i + 1) + " has no name";
    for (const std::string& before : out.names) {
      if (EqualsFoldedAscii(before, name)) return "line 1: column \"" + name + "\" named twice";
    }
    out.names.push_back(name);
  }
  for (std::size_t k = 1; k < r.rows.size(); ++k) {
    const std::vector<std::string>& row = r.rows[k];
    const std::string where = "line " + std::to_string(r.rowLines[k]) + ": ";
    const std::string target(TrimBlanks(row[0]));
    if (!target.empty() && target[0] == '#') continue;
    bool blank = true;
    for (const std::string& f : row) blank = blank && TrimBlanks(f).empty();
    if (blank) continue;
    if (row.size() != header.size()) {
      return where + std::to_string(row.size()) + " fields where the header has " + std::to_string(header.size());
    }
    if (target.empty()) return where + "no target";
    TargetsRow t{target, {}, r.rowLines[k]};
    for (std::size_t i = 1; i < row.size(); ++i) {
      if (!row[i].empty()) t.values.emplace_back(out.names[i - 1], row[i]);
    }
    out.rows.push_back(std::move(t));
  }
  return {};
}

}  // namespace facset::cli
