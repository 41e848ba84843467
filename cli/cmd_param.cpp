// facset-cli param: the generated parameters of a file, by name, under the
// rules the window's controls apply.
#include <cstdio>

#include "cli.h"
#include "download/preflight.h"
#include "params/param_model.h"
#include "params/param_rows.h"
#include "platform/text_encoding.h"
#include "platform/text_rules.h"

namespace facset::cli {
namespace {

const char* KindName(RowKind k) {
  switch (k) {
    case RowKind::Text: return "text";
    case RowKind::Numeric: return "numeric";
    case RowKind::TwoChoice: return "choice";
  }
  return "";
}

// A label or option as the window shows it, on one line, in UTF-8.
std::string Shown(std::string_view gbk) {
  std::string s = ToLfBreaks(UnescapeText(gbk));
  for (char& c : s) {
    if (c == '\n' || c == '\t') c = ' ';
  }
  return GbkToUtf8(s);
}

std::vector<std::string> ChoiceTexts(const ParamDef& def) {
  std::vector<std::string> out;
  for (const std::string& e : TwoChoiceEntries(def)) out.push_back(Shown(e));
  return out;
}

std::string ValueText(const ParamSet& ps, const ParamRow& row) {
  switch (row.kind) {
    case RowKind::Numeric: return NumericText(ps.Block, row);
    case RowKind::Text: return GbkToUtf8(TextParamValue(ps.Block, row));
    case RowKind::TwoChoice: {
      const std::vector<std::string> entries = ChoiceTexts(ps.Defs[static_cast<std::size_t>(row.byte)]);
      const int i = TwoChoiceIndex(ps.Block, row, entries.size());
      return i < 0 ? std::string() : entries[static_cast<std::size_t>(i)];
    }
  }
  return {};
}

// "byte[N]" (blanks inside the brackets allowed) gives N, else -1.
int ByteName(std::string_view name) {
  if (name.size() < 7 || !EqualsFoldedAscii(name.substr(0, 5), "byte[") || name.back() != ']') return -1;
  const std::string_view inner = TrimBlanks(name.substr(5, name.size() - 6));
  if (inner.empty() || inner.size() > 3 || inner.find_first_not_of("0123456789") != std::string_view::npos) return -1;
  const int n = std::stoi(std::string(inner));
  return n <= 255 ? n : -1;
}

// The row NAME names, or the reason there is none.
const ParamRow* FindRow(const ParamSet& ps, const RowPlan& plan, const std::string& name, std::string& why) {
  if (const int n = ByteName(name); n >= 0) {
    for (const ParamRow& r : plan.rows) {
      if (r.byte == n) return &r;
    }
    why = "byte[" + std::to_string(n) + "] is not the first byte of a parameter";
    return nullptr;
  }
  const ParamRow* found = nullptr;
  for (const ParamRow& r : plan.rows) {
    if (!EqualsFoldedAscii(Shown(ps.Defs[static_cast<std::size_t>(r.byte)].Caption), name)) continue;
    if (found) {
      why = "more than one parameter is called \"" + name + "\": name it by byte[N]";
      return nullptr;
    }
    found = &r;
  }
  if (!found) why = "no parameter called \"" + name + "\"";
  return found;
}

// Applies VALUE to the block under the row's rules; "" or the refusal.
std::string SetValue(ParamSet& ps, const ParamRow& row, const std::string& value) {
  switch (row.kind) {
    case RowKind::Numeric: {
      if (row.readOnly) return "a numeric parameter wider than 3 bytes is shown only";
      if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos) {
        return "a numeric parameter takes digits only";
      }
      const std::int32_t max = NumericMax(row.width);
      const std::string digits = value.substr(std::min(value.find_first_not_of('0'), value.size() - 1));
      if (digits.size() > 10 || std::stoll(digits) > max) return "greater than the maximum " + std::to_string(max);
      SplitValue(ps.Block, static_cast<std::int32_t>(std::stoll(digits)), row.byte, row.width);
      return {};
    }
    case RowKind::Text: {
      for (const char c : value) {
        if (static_cast<unsigned char>(c) >= 128) return "a text parameter takes characters below 128 only";
      }
      if (value.size() > static_cast<std::size_t>(row.width)) {
        return "longer than " + std::to_string(row.width) + " bytes";
      }
      WriteTextParam(ps.Block, row, value);
      return {};
    }
    case RowKind::TwoChoice: {
      const std::vector<std::string> entries = ChoiceTexts(ps.Defs[static_cast<std::size_t>(row.byte)]);
      int index = -1;
      for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i] == value) index = static_cast<int>(i);
      }
      if (index < 0 && value.size() == 1 && value[0] >= '0' && value[0] < '0' + static_cast<int>(entries.size())) {
        index = value[0] - '0';
      }
      if (index < 0) {
        std::string choices;
        for (std::size_t i = 0; i < entries.size(); ++i) {
          choices += (i ? ", " : "") + std::to_string(i) + " \"" + entries[i] + "\"";
        }
        return "not one of the choices: " + choices;
      }
      ps.Block[static_cast<std::size_t>(row.byte)] = static_cast<std::uint8_t>(index);
      return {};
    }
  }
  return "unknown parameter kind";
}

int RunParam(std::span<const std::string> args) {
  std::vector<std::string> pos;
  if (auto code = TakePositionals(kParamCommand, args, 1, 3, pos)) return *code;
  if (std::string why = CheckParamFile(pos[0]); !why.empty()) return Fail(why);
  ParamSet ps;
  try {
    IniFile ini(pos[0]);
    LoadParamSet(ini, ps);
    const RowPlan plan = PlanParamRows(ps.Defs);
    if (pos.size() == 1) {
      for (const ParamRow& r : plan.rows) {
        std::printf("%s\tbyte[%d]\t%d\t%s\t%s\n",
                    EscapeForTerminal(Shown(ps.Defs[static_cast<std::size_t>(r.byte)].Caption)).c_str(), r.byte,
                    r.width, KindName(r.kind), EscapeForTerminal(ValueText(ps, r)).c_str());
      }
      return kExitOk;
    }
    std::string why;
    const ParamRow* row = FindRow(ps, plan, pos[1], why);
    if (!row) return Fail(why);
    if (pos.size() == 2) {
      std::printf("%s\n", EscapeForTerminal(ValueText(ps, *row)).c_str());
      return kExitOk;
    }
    const ParamBlock before = ps.Block;
    if (std::string refused = SetValue(ps, *row, pos[2]); !refused.empty()) {
      return Fail(pos[1] + ": " + refused + "; " + pos[0] + " not changed");
    }
    IniUpdate batch(ini);
    for (int n = row->byte; n < row->byte + row->width; ++n) {
      const auto i = static_cast<std::size_t>(n);
      if (ps.Block[i] != before[i]) ini.WriteInteger("factory", ByteKeys[i], ps.Block[i]);
    }
    batch.Commit();
  } catch (const EIniError& e) {
    return Fail(e.what());
  }
  return kExitOk;
}

}  // namespace

const Command kParamCommand{
    "param", "param FILE [NAME [VALUE]]", "list, read or set the generated parameters",
    "Without NAME, lists the parameters the window generates for FILE, one a\n"
    "line, separated by tabs: caption, byte[N], width, kind (text, numeric or\n"
    "choice) and the value as the window shows it (the number, the text, or\n"
    "the chosen option's text). With NAME, prints that parameter's value; with\n"
    "NAME VALUE, sets it under the window's rules:\n"
    "  numeric  digits only, up to 255, 65535 or 16777215 by its width\n"
    "  text     characters below 128 only, at most its width in bytes\n"
    "  choice   the option's text, or its index 0 or 1\n"
    "Anything else is refused and FILE is left untouched. NAME is the caption\n"
    "(letter case aside) or byte[N], N the parameter's first byte. Only the\n"
    "bytes of that parameter are written, atomically, as set writes.\n"
    "Texts are read and printed as UTF-8.\n",
    RunParam};

}  // namespace facset::cli
