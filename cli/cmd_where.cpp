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
    "Prints the tool's folder, which holds facconfig.ini, the language file,\n"
    "DEBUG.LOG and facset-records.sqlite for facset and facset-cli: the value of\n"
    "FACSET_HOME when set; else the programs' own folder when they are not\n"
    "installed (a folder named bin or sbin never serves) and this user may write\n"
    "there; else $XDG_CONFIG_HOME/facset (~/.config/facset by default). The\n"
    "folder is created when missing (mode 0700) and must be this user's: one that\n"
    "another user owns or may write to (without the sticky bit) is refused, and\n"
    "so is a missing HOME when neither FACSET_HOME nor XDG_CONFIG_HOME is set.\n",
    RunWhere};

}  // namespace facset::cli
