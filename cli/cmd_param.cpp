// facset-cli param: the generated parameters of a file, by name, under the
// rules the window's controls apply.
#include <cstdio>

#include "cli.h"
#include "value_help.h"
#include "download/preflight.h"
#include "params/param_model.h"
#include "params/param_rows.h"
#include "params/param_values.h"
#include "platform/text_encoding.h"
#include "platform/text_rules.h"

namespace facset::cli {
namespace {

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
                    EscapeForTerminal(ShownCaption(ps.Defs[static_cast<std::size_t>(r.byte)].Caption)).c_str(),
                    r.byte, r.width, RowKindName(r.kind),
                    EscapeForTerminal(ParamFieldValue(ps, ParamField{r}, false)).c_str());
      }
      return kExitOk;
    }
    const FieldLookup found = FindParamField(ps, plan, pos[1]);
    if (!found.field) return Fail(found.why);
    if (pos.size() == 2) {
      const bool chinese = UseChineseCatalog(ini.ReadString("Set", "lngstr", "_cn"));
      std::printf("%s\n", EscapeForTerminal(ParamFieldValue(ps, *found.field, chinese)).c_str());
      return kExitOk;
    }
    const ParamSet before = ps;
    if (std::string refused = SetParamField(ps, *found.field, pos[2]); !refused.empty()) {
      return Fail(pos[1] + ": " + refused + "; " + pos[0] + " not changed");
    }
    IniUpdate batch(ini);
    for (std::size_t i = 1; i < ps.Block.size(); ++i) {
      if (ps.Block[i] != before.Block[i]) ini.WriteInteger("factory", ByteKeys[i], ps.Block[i]);
    }
    // A gravity named by its region selects it in the list too, as the window does.
    if (ps.bdgbIndex != before.bdgbIndex) ini.WriteInteger("factory", "bdgbIndex", ps.bdgbIndex);
    if (ps.TaggbIndex != before.TaggbIndex) ini.WriteInteger("factory", "TaggbIndex", ps.TaggbIndex);
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
    "NAME VALUE, sets it under the window's rules. NAME and VALUE:\n"
    FACSET_VALUE_RULES_HELP
    "Anything else is refused and FILE is left untouched. Only the bytes of that\n"
    "parameter (and a gravity's list choice) are written, atomically, as set\n"
    "writes. Texts are read and printed as UTF-8.\n",
    RunParam};

}  // namespace facset::cli
