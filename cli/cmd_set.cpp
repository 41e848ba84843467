#include <string_view>

#include "cli.h"
#include "platform/ini_file.h"
#include "platform/text_rules.h"

namespace facset::cli {
namespace {

// Names and values that would read back as something else, or break the line
// structure of the file, are refused instead of written.
std::string CheckNames(std::string_view section, std::string_view key, std::string_view value) {
  if (section.empty()) return "the section name is empty";
  if (key.empty()) return "the key name is empty";
  if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value)) {
    return "names and values must be single lines";
  }
  if (key.find('=') != std::string_view::npos) return "a key name cannot hold \"=\"";
  if (const auto first = key.find_first_not_of(" \t"); first != std::string_view::npos && key[first] == '[') {
    return "a key name cannot begin with \"[\"";  // its line would read as a section header
  }
  return {};
}

int RunSet(std::span<const std::string> args) {
  std::vector<std::string> pos;
  if (auto code = TakePositionals(kSetCommand, args, 4, 4, pos)) return *code;
  if (std::string why = CheckNames(pos[1], pos[2], pos[3]); !why.empty()) return Fail(why);
  try {
    IniFile ini(pos[0]);
    ini.WriteString(pos[1], pos[2], pos[3]);
  } catch (const EIniError& e) {
    return Fail(e.what());
  }
  return kExitOk;
}

}  // namespace

const Command kSetCommand{
    "set", "set FILE SECTION KEY VALUE", "write one value into an INI file",
    "Writes VALUE under KEY in SECTION of FILE, as the tool writes: an existing\n"
    "value is replaced in place, a missing key is added at the end of its\n"
    "section, a missing section at the end of the file, a missing file is\n"
    "created; every other line stays as it was. VALUE is written as given (its\n"
    "bytes are not converted). The file is replaced atomically; when it cannot\n"
    "be written it is left unchanged and the command fails.\n"
    "Put -- before a VALUE that begins with \"-\" followed by a letter.\n",
    RunSet};

}  // namespace facset::cli
