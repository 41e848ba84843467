#include "set_values.h"

#include <charconv>
#include <map>

#include "factorydb/server_counters.h"
#include "platform/text_rules.h"
#include "records/records.h"

namespace facset::cli {
namespace {

constexpr std::string_view kSeq = "seq:";
constexpr std::string_view kCounter = "counter:";

std::optional<std::int64_t> ToInt64(std::string_view s, bool allowSign) {
  if (s.empty() || (!allowSign && s[0] == '-') || s[0] == '+') return std::nullopt;
  std::int64_t v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return v;
}

// "...=N": the value already chosen, split off the end.
std::string SplitTaken(std::string_view& body, std::optional<std::int64_t>& taken) {
  const std::size_t eq = body.find('=');
  if (eq == std::string_view::npos) return {};
  taken = ToInt64(body.substr(eq + 1), false);
  if (!taken) return "the value after \"=\" must be a whole number";
  body = body.substr(0, eq);
  return {};
}

}  // namespace

std::string ValueSource::Origin() const {
  switch (kind) {
    case Kind::Plain: return {};
    case Kind::Sequence: return std::string(kSeq) + std::to_string(start) + ":" + std::to_string(step);
    case Kind::Counter: return std::string(kCounter) + counter;
  }
  return {};
}

std::string ParseValueSource(std::string_view value, ValueSource& out) {
  out = ValueSource{};
  if (value.substr(0, kSeq.size()) == kSeq) {
    std::string_view body = value.substr(kSeq.size());
    if (std::string why = SplitTaken(body, out.taken); !why.empty()) return why;
    out.kind = ValueSource::Kind::Sequence;
    const std::size_t colon = body.find(':');
    const auto start = ToInt64(body.substr(0, colon), false);
    const auto step = colon == std::string_view::npos ? std::optional<std::int64_t>(1)
                                                      : ToInt64(body.substr(colon + 1), true);
    if (!start || !step || *step == 0 || *start > kCounterMax || *step > kCounterMax || *step < -kCounterMax) {
      return "a sequence is seq:START or seq:START:STEP, whole numbers (START from 0, STEP not 0)";
    }
    out.start = *start;
    out.step = *step;
    return {};
  }
  if (value.substr(0, kCounter.size()) == kCounter) {
    std::string_view body = value.substr(kCounter.size());
    if (std::string why = SplitTaken(body, out.taken); !why.empty()) return why;
    out.kind = ValueSource::Kind::Counter;
    if (std::string why = CheckCounterName(body); !why.empty()) return why;
    out.counter = std::string(body);
    return {};
  }
  out.text = std::string(value);
  return {};
}

std::string ParseSetArgument(std::string_view arg, GivenValue& out) {
  const std::size_t eq = arg.find('=');
  if (eq == std::string_view::npos || TrimBlanks(arg.substr(0, eq)).empty()) {
    return "--set takes NAME=VALUE, not \"" + std::string(arg) + "\"";
  }
  out.name = std::string(TrimBlanks(arg.substr(0, eq)));
  out.where = "--set";
  if (std::string why = ParseValueSource(arg.substr(eq + 1), out.source); !why.empty()) {
    return "--set " + out.name + ": " + why;
  }
  return {};
}

std::string ResolveValues(const ParamSet& ps, std::span<const std::vector<GivenValue>> perTarget,
                          std::span<const std::string> targets,
                          const std::function<std::unique_ptr<CounterStore>()>& counters,
                          std::vector<std::vector<ResolvedValue>>& out) {
  out.assign(perTarget.size(), {});
  const RowPlan plan = PlanParamRows(ps.Defs);
  const bool several = targets.size() > 1;
  struct Pending {
    std::size_t target, value;
    std::int64_t largest;
  };
  std::map<std::string, std::vector<Pending>> fromCounters;

  for (std::size_t i = 0; i < perTarget.size(); ++i) {
    const std::string who = several ? targets[i] + ": " : std::string();
    ParamSet trial = ps;
    for (const GivenValue& g : perTarget[i]) {
      auto refuse = [&](const std::string& why) {
        return who + g.name + (g.where == "--set" ? "" : " (" + g.where + ")") + ": " + why;
      };
      const FieldLookup found = FindParamField(ps, plan, g.name);
      if (!found.field) return who + (g.where == "--set" ? "" : g.where + ": ") + found.why;
      for (const ResolvedValue& before : out[i]) {
        if (before.field.Key() == found.field->Key()) {
          return refuse("the same parameter as \"" + before.name + "\" is given a value twice");
        }
      }
      ResolvedValue v{g.name, g.source.text, g.source.Origin(), *found.field};
      if (g.source.kind != ValueSource::Kind::Plain) {
        const std::optional<std::int64_t> largest = LargestNumber(ps, *found.field);
        if (!largest) return refuse("a " + g.source.Origin() + " value needs a parameter that takes a number");
        std::optional<std::int64_t> n = g.source.taken;
        if (!n && g.source.kind == ValueSource::Kind::Sequence) {
          n = g.source.start + static_cast<std::int64_t>(i) * g.source.step;
        }
        if (n && (*n < 0 || *n > *largest)) {
          return refuse(g.source.Origin() + " gives " + std::to_string(*n) + ", outside 0 to " +
                        std::to_string(*largest));
        }
        if (!n) {
          fromCounters[g.source.counter].push_back({i, out[i].size(), *largest});
          v.value = std::to_string(*largest);  // checked with the largest now, its own value once taken
        } else {
          v.value = std::to_string(*n);
        }
      }
      if (std::string why = SetParamField(trial, v.field, v.value); !why.empty()) {
        return refuse("\"" + v.value + "\": " + why);
      }
      out[i].push_back(std::move(v));
    }
  }
  if (fromCounters.empty()) return {};

  // Every value passed: now the counters, each in one atomic take.
  std::unique_ptr<CounterStore> store = counters();
  std::string taken;  // what earlier takes gave, should a later one refuse
  for (const auto& [name, uses] : fromCounters) {
    std::int64_t largest = kCounterMax;
    for (const Pending& p : uses) largest = std::min(largest, p.largest);
    const CounterValue first = store->Take(name, static_cast<std::int64_t>(uses.size()), largest);
    if (!first) {
      return first.error->reason + taken;
    }
    for (std::size_t k = 0; k < uses.size(); ++k) {
      out[uses[k].target][uses[k].value].value = std::to_string(*first.value + static_cast<std::int64_t>(k));
    }
    taken += "; counter \"" + name + "\" gave " + std::to_string(*first.value) +
             (uses.size() > 1 ? " to " + std::to_string(*first.value + static_cast<std::int64_t>(uses.size()) - 1)
                              : std::string()) +
             ", never given again";
  }
  return {};
}

void ApplyValues(ParamSet& ps, const std::vector<ResolvedValue>& values) {
  for (const ResolvedValue& v : values) SetParamField(ps, v.field, v.value);
}

std::unique_ptr<CounterStore> CountersInUse() { return CountersFor(DefaultRecordsFolder()); }

std::string SetArgumentOf(const ResolvedValue& v) {
  return v.name + "=" + (v.origin.empty() ? v.value : v.origin + "=" + v.value);
}

}  // namespace facset::cli
