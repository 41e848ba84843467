#include <cstdio>

#include "cli.h"
#include "download/preflight.h"
#include "params/param_model.h"

namespace facset::cli {
namespace {

int RunShow(std::span<const std::string> args) {
  std::vector<std::string> pos;
  if (auto code = TakePositionals(kShowCommand, args, 1, 1, pos)) return *code;
  if (std::string why = CheckReadableRegularFile(pos[0]); !why.empty()) return Fail(why);
  const IniFile ini(pos[0]);
  ParamSet ps;
  ReadBlockAndDefs(ini, ps);
  std::string out(kSetValuesHeader);
  out.push_back('\n');
  for (const std::string& line : SetValuesText(ps.Block)) out.append(line).push_back('\n');
  if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0) {
    return Fail("cannot write to standard output");
  }
  return kExitOk;
}

}  // namespace

const Command kShowCommand{
    "show", "show FILE", "print the set-value view of a parameter file",
    "Prints the 256-byte parameter block that FILE holds as the tool's set-value\n"
    "view: the header line and 16 rows of 16 bytes in hexadecimal. Byte 0 is\n"
    "always A6. FILE is only read.\n",
    RunShow};

}  // namespace facset::cli
