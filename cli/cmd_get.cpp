#include <cstdio>

#include "cli.h"
#include "download/preflight.h"
#include "platform/ini_file.h"

namespace facset::cli {
namespace {

int RunGet(std::span<const std::string> args) {
  std::vector<std::string> pos;
  if (auto code = TakePositionals(kGetCommand, args, 3, 4, pos)) return *code;
  if (std::string why = CheckReadableRegularFile(pos[0]); !why.empty()) return Fail(why);
  const IniFile ini(pos[0]);
  std::string value = ini.ReadString(pos[1], pos[2], pos.size() > 3 ? pos[3] : std::string());
  value.push_back('\n');
  if (std::fwrite(value.data(), 1, value.size(), stdout) != value.size() || std::fflush(stdout) != 0) {
    return Fail("cannot write to standard output");
  }
  return kExitOk;
}

}  // namespace

const Command kGetCommand{
    "get", "get FILE SECTION KEY [DEFAULT]", "print one value of an INI file",
    "Prints the value of KEY in SECTION of FILE as the tool reads it (names\n"
    "compared without regard to case, blanks around the value dropped), as raw\n"
    "bytes followed by a newline. A missing section or key prints DEFAULT (empty\n"
    "when not given); a key present with an empty value prints an empty line.\n"
    "FILE must exist; it is only read.\n",
    RunGet};

}  // namespace facset::cli
