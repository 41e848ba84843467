#include <cstdio>

#include "cli.h"
#include "platform/text_encoding.h"

namespace facset::cli {

void PrintHelp(const Command& cmd) {
  const std::string options = OptionHelp(cmd.options);
  std::printf("usage: facset-cli %.*s\n\n%.*s%s%.*s", int(cmd.synopsis.size()), cmd.synopsis.data(),
              int(cmd.details.size()), cmd.details.data(), options.c_str(), int(cmd.more.size()), cmd.more.data());
}

std::optional<int> TakePositionals(const Command& cmd, std::span<const std::string> args, std::size_t minCount,
                                   std::size_t maxCount, std::vector<std::string>& out) {
  out.clear();
  bool options = true;
  for (const std::string& a : args) {
    if (options && a == "--") {
      options = false;
    } else if (options && (a == "--help" || a == "-h")) {
      PrintHelp(cmd);
      return kExitOk;
    } else if (options && a.size() > 1 && a[0] == '-' && !(a[1] >= '0' && a[1] <= '9')) {
      return UsageError(cmd, "unknown option " + a + " (use -- before an argument that starts with -)");
    } else {
      out.push_back(a);
    }
  }
  if (out.size() < minCount) return UsageError(cmd, "missing arguments");
  if (out.size() > maxCount) return UsageError(cmd, "too many arguments");
  return std::nullopt;
}

int Fail(std::string_view message) {
  // Messages name files: their control characters never reach the terminal.
  const std::string shown = EscapeForTerminal(message);
  std::fprintf(stderr, "facset-cli: %s\n", shown.c_str());
  return kExitError;
}

int UsageError(const Command& cmd, std::string_view message) {
  const std::string shown = EscapeForTerminal(message);
  std::fprintf(stderr, "facset-cli %.*s: %s\nusage: facset-cli %.*s\n", int(cmd.name.size()), cmd.name.data(),
               shown.c_str(), int(cmd.synopsis.size()), cmd.synopsis.data());
  return kExitUsage;
}

}  // namespace facset::cli
