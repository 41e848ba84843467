#pragma once
// facset-cli: one source file per subcommand, listed in the table of main.cpp.

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace facset::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitError = 1;  // the command failed; message on stderr
inline constexpr int kExitUsage = 2;  // bad command line; usage on stderr
// download: why the run failed.
inline constexpr int kExitUnreachable = 3;     // no link, or the log-on refused
inline constexpr int kExitBlockRefused = 4;    // the parameter block not acknowledged
inline constexpr int kExitFirmwareFailed = 5;  // the firmware upgrade failed
inline constexpr int kExitInputRefused = 6;    // refused before connecting: nothing sent
inline constexpr int kExitInterrupted = 130;   // SIGINT or SIGTERM

struct Command {
  std::string_view name;      // "show"
  std::string_view synopsis;  // "show FILE"
  std::string_view summary;   // one line for the command list
  std::string_view details;   // printed by --help after the usage line
  // Arguments after the command name, untouched: each command parses its own,
  // most through TakePositionals.
  int (*run)(std::span<const std::string> args);
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

// Prints "usage: facset-cli <synopsis>" and the details to stdout.
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
