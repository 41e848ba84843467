// facset-cli: scriptable access to parameter files for the production line.
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "output.h"
#include "platform/version.h"

namespace facset::cli {
namespace {

// Every subcommand; a new one adds its source file and one line here.
constexpr std::array<const Command*, 10> kCommands = {&kShowCommand,     &kGetCommand,   &kSetCommand,
                                                     &kDownloadCommand, &kParamCommand, &kPortsCommand,
                                                     &kHistoryCommand,  &kCounterCommand, &kRecordsCommand,
                                                     &kWhereCommand};

void PrintMainHelp(std::FILE* to) {
  std::fprintf(to, "usage: facset-cli COMMAND [ARGS...]\n       facset-cli COMMAND --help\n       facset-cli --version\n\ncommands:\n");
  for (const Command* c : kCommands) {
    std::fprintf(to, "  %-30.*s %.*s\n", int(c->synopsis.size()), c->synopsis.data(), int(c->summary.size()),
                 c->summary.data());
  }
  std::fprintf(to,
               "\nExit status: 0 success, 1 error, 2 bad usage; download also 3 scale\n"
               "unreachable, 4 block not acknowledged, 5 firmware upgrade failed, 6 input\n"
               "refused before connecting, 7 not proven, 130 interrupted (see download\n"
               "--help).\n");
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
  if (name == "--version") {
    std::printf("facset-cli %.*s\n", int(ProjectVersion().size()), ProjectVersion().data());
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
  facset::cli::IgnoreBrokenPipes();
  // Each line reaches a pipe or a file as soon as it is complete.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    return facset::cli::Main(args);
  } catch (const std::exception& e) {
    return facset::cli::Fail(e.what());
  }
}
