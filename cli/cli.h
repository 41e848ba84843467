#pragma once
// facset-cli: one source file per subcommand, listed in the table of main.cpp.

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "download/verdict.h"  // the exit codes
#include "options.h"

namespace facset::cli {

struct Command {
  std::string_view name;      // "show"
  std::string_view synopsis;  // "show FILE"
  std::string_view summary;   // one line for the command list
  std::string_view details;   // printed by --help after the usage line
  // Arguments after the command name, untouched: each command parses its own,
  // most through TakePositionals, the others through their option table.
  int (*run)(std::span<const std::string> args);
  OptionTable options = {};   // their lines follow `details` in --help
  std::string_view more = {}; // printed after them
};

extern const Command kShowCommand;
extern const Command kGetCommand;
extern const Command kSetCommand;
extern const Command kDownloadCommand;
extern const Command kWhereCommand;
extern const Command kParamCommand;
extern const Command kPortsCommand;
extern const Command kHistoryCommand;
extern const Command kCounterCommand;
extern const Command kRecordsCommand;

// Prints "usage: facset-cli <synopsis>", the details, the options and the
// rest to stdout.
void PrintHelp(const Command& cmd);

// The plain argument shape: positionals only, "--help"/"-h" for help, "--" ends
// the options (so a value such as "--x" can still be passed). A single "-" or a
// negative number like "-1" is a positional. Returns an exit code when the
// command must end now (0 after help, 2 after a usage error), else fills `out`.
std::optional<int> TakePositionals(const Command& cmd, std::span<const std::string> args, std::size_t minCount,
                                   std::size_t maxCount, std::vector<std::string>& out);

// "facset-cli: <message>" on stderr; returns kExitError.
int Fail(std::string_view message);
// "facset-cli <name>: <message>" and the usage line on stderr; returns kExitUsage.
int UsageError(const Command& cmd, std::string_view message);

}  // namespace facset::cli
