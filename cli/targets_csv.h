#pragma once
// A targets file that gives each target its own values: a header line whose
// first field is "target", then one row per target (RFC 4180: fields separated
// by commas, quoted with '"' where they hold commas, quotes or line breaks;
// UTF-8, a leading BOM skipped). The other header fields name parameters as
// --set does; a row's cell is that parameter's value for its target, an empty
// cell leaves FILE's value.
//
//   target,Scale number,Shop code
//   127.0.0.2,1,"A,1"
//   COM3,2,B2

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace facset::cli {

struct TargetsRow {
  std::string target;  // as given, blanks around it dropped
  std::vector<std::pair<std::string, std::string>> values;  // (header name, cell), cells not empty
  int line = 0;  // the line the row begins on, from 1
};

struct TargetsTable {
  std::vector<std::string> names;  // the header after "target"
  std::vector<TargetsRow> rows;
};

// `text` without a leading UTF-8 BOM.
std::string_view WithoutBom(std::string_view text);

// True when the first line of `text` (BOM skipped) begins with the word "target"
// (letter case aside): a table, not plain target lines.
bool IsTargetsTable(std::string_view text);

// Reads the table: "" or why not ("line 3: ..."). Rows whose target begins
// with "#" are comments; blank lines are skipped.
std::string ParseTargetsTable(std::string_view text, TargetsTable& out);

}  // namespace facset::cli
