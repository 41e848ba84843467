// facset-cli counter: the named counters that hand out per-unit values.
#include <charconv>
#include <cstdio>

#include "cli.h"
#include "records/counters.h"
#include "set_values.h"

namespace facset::cli {
namespace {

int RunCounter(std::span<const std::string> args) {
  std::vector<std::string> pos;
  std::optional<std::string> set;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--help" || args[i] == "-h") {
      PrintHelp(kCounterCommand);
      return kExitOk;
    }
    if (args[i] == "--set") {
      if (set) return UsageError(kCounterCommand, "--set given twice");
      if (i + 1 == args.size()) return UsageError(kCounterCommand, "--set needs a value");
      set = args[++i];
    } else if (args[i].size() > 1 && args[i][0] == '-') {
      return UsageError(kCounterCommand, "unknown option " + args[i]);
    } else {
      pos.push_back(args[i]);
    }
  }
  if (pos.size() > 1) return UsageError(kCounterCommand, "too many arguments");
  if (set && pos.empty()) return UsageError(kCounterCommand, "--set needs a counter's NAME");

  std::unique_ptr<CounterStore> store = CountersInUse();
  if (pos.empty()) {
    const CounterList list = store->List();
    if (list.error) return Fail(list.error->reason);
    for (const CounterEntry& c : list.counters) std::printf("%s\t%lld\n", c.name.c_str(), static_cast<long long>(c.next));
    return kExitOk;
  }
  if (std::string why = CheckCounterName(pos[0]); !why.empty()) return UsageError(kCounterCommand, why);
  CounterValue v;
  if (set) {
    std::int64_t next = -1;
    const auto [end, ec] = std::from_chars(set->data(), set->data() + set->size(), next);
    if (ec != std::errc() || end != set->data() + set->size() || next < 0 || next > kCounterMax) {
      return UsageError(kCounterCommand, "--set takes a whole number from 0 to " + std::to_string(kCounterMax));
    }
    v = store->Set(pos[0], next);
  } else {
    v = store->Next(pos[0]);
  }
  if (!v) return Fail(v.error->reason);
  std::printf("%lld\n", static_cast<long long>(*v.value));
  return kExitOk;
}

}  // namespace

const Command kCounterCommand{
    "counter", "counter [NAME [--set VALUE]]", "show or set the counters that number scales",
    "A counter hands out per-unit values: `download --set \"NAME=counter:COUNTER\"`\n"
    "gives each scale of the run the counter's next value, taken at once and never\n"
    "given again (not even when that scale's run then fails). Counters live in the\n"
    "station database beside this program's configuration.\n\n"
    "Without NAME, lists every counter and its next value, tab-separated.\n"
    "With NAME, prints the next value it gives (an error when it was never set).\n"
    "With --set VALUE, makes VALUE (0 or more) its next value, creating it.\n"
    "NAME holds letters, digits, \"_\", \"-\" and \".\".\n",
    RunCounter};

}  // namespace facset::cli
