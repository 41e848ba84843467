#include <cstdio>

#include "cli.h"
#include "platform/paths.h"
#include "platform/text_encoding.h"

namespace facset::cli {
namespace {

int RunWhere(std::span<const std::string> args) {
  std::vector<std::string> pos;
  if (auto code = TakePositionals(kWhereCommand, args, 0, 0, pos)) return *code;
  std::string dir = FilesDir();
  if (std::string why = MakeDirs(dir); !why.empty()) return Fail(why);
  if (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (std::printf("%s\n", EscapeForTerminal(dir).c_str()) < 0 || std::fflush(stdout) != 0) return Fail("cannot write to standard output");
  return kExitOk;
}

}  // namespace

const Command kWhereCommand{
    "where", "where", "print the folder of the tool's files",
    "Prints the folder that holds facconfig.ini, the language file and\n"
    "DEBUG.LOG for facset and facset-cli: the value of FACSET_HOME when set;\n"
    "else the programs' own folder when this user may write there; else\n"
    "$XDG_CONFIG_HOME/facset (~/.config/facset by default). The folder is\n"
    "created when missing.\n",
    RunWhere};

}  // namespace facset::cli
