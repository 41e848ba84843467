// facset-cli: scriptable access to parameter files for the production line.
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"

namespace facset::cli {
namespace {

// Every subcommand; a new one adds its source file and one line here.
constexpr std::array<const Command*, 5> kCommands = {&kShowCommand, &kGetCommand, &kSetCommand,
                                                     &kDownloadCommand, &kHistoryCommand};

void PrintMainHelp(std::FILE* to) {
  std::fprintf(to, "usage: facset-cli COMMAND [ARGS...]\n       facset-cli COMMAND --help\n\ncommands:\n");
  for (const Command* c : kCommands) {
    std::fprintf(to, "  %-34.*s %.*s\n", int(c->synopsis.size()), c->synopsis.data(), int(c->summary.size()),
                 c->summary.data());
  }
  std::fprintf(to, "\nExit status: 0 success, 1 error, 2 bad usage.\n");
}

int Main(const std::vector<std::string>& argv) {
  if (argv.empty()) {
    PrintMainHelp(stderr);
    return kExitUsage;
  }
  const std::string& name = argv[0];
  if (name == "--help" || name == "-h" || name == "help") {
    PrintMainHelp(stdout);
    return kExitOk;
  }
  for (const Command* c : kCommands) {
    if (c->name == name) return c->run(std::span<const std::string>(argv).subspan(1));
  }
  std::fprintf(stderr, "facset-cli: unknown command \"%s\"\n\n", name.c_str());
  PrintMainHelp(stderr);
  return kExitUsage;
}

}  // namespace
}  // namespace facset::cli

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    return facset::cli::Main(args);
  } catch (const std::exception& e) {
    return facset::cli::Fail(e.what());
  }
}
