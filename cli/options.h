#pragma once
// One table of options per command drives its parsing, the option lines of its
// --help and the several-targets splitter. Options are "--name" or
// "--name VALUE" (the value is the next argument, whatever it looks like);
// "--" ends them; "--help" and "-h" ask for the help; "-" and a negative
// number such as "-1" are positionals.
//
// A table of ours rather than QCommandLineParser: that one keeps the values of
// each option apart, losing the order of interleaved --ip and --com targets,
// reads "-1" as an option, and its messages are not ours.

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace facset::cli {

struct OptionSpec {
  std::string_view name;   // "--ip"
  std::string_view value;  // "ADDR"; empty for a flag
  // The help text; "\n" starts a continuation line. Each line fits the
  // column left of 80 after the option's name.
  std::string_view help;
  bool repeatable = false;  // may be given more than once
};
using OptionTable = std::span<const OptionSpec>;

struct GivenOption {
  const OptionSpec* spec = nullptr;
  std::string value;       // "" for a flag
  std::size_t first = 0;   // its arguments: args[first .. first + count)
  std::size_t count = 0;
};

struct ParsedArgs {
  std::vector<GivenOption> options;  // in the order given
  std::vector<std::string> positionals;
  bool help = false;
  std::string error;  // a usage error: "--ip needs a value", "unknown option --baud"

  bool Has(std::string_view name) const;
  // The value of a non-repeatable option.
  std::optional<std::string> Value(std::string_view name) const;
  // Every value of a repeatable one, in order.
  std::vector<std::string> Values(std::string_view name) const;
};

ParsedArgs ParseArgs(OptionTable table, std::span<const std::string> args);

// The option lines of --help: "  --ip ADDR        over UDP ...", the text in
// a column of its own (on the next line when the name is too long for it).
std::string OptionHelp(OptionTable table);

}  // namespace facset::cli
