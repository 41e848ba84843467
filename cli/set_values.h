#pragma once
// Values for one run only, on top of FILE's block: `download --set NAME=VALUE`
// and the cells of a targets table. A value is plain, a sequence
// (seq:START[:STEP]: the targets in their order get START, START+STEP, ...)
// or a counter (counter:NAME: the next values of a named counter, taken at
// once for every target that needs one).

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "params/param_values.h"
#include "records/counters.h"

namespace facset::cli {

struct ValueSource {
  enum class Kind : std::uint8_t { Plain, Sequence, Counter };
  Kind kind = Kind::Plain;
  std::string text;                   // Plain: the value as given
  std::int64_t start = 0, step = 1;   // Sequence
  std::string counter;                // Counter: its name
  // A sequence's or counter's value already chosen for this target: what a
  // several-targets run hands each target's process ("counter:scale=17").
  std::optional<std::int64_t> taken;

  // "seq:1:1", "counter:scale"; "" for a plain value.
  std::string Origin() const;
};

// VALUE as --set or a cell gives it: "" or why it is malformed.
std::string ParseValueSource(std::string_view value, ValueSource& out);

struct GivenValue {
  std::string name;    // as given: a caption, byte[N] or a fixed field's name
  ValueSource source;
  std::string where;   // for messages: "--set", "targets.csv line 3"
};

// "NAME=VALUE" (split at the first "="): "" or a usage error.
std::string ParseSetArgument(std::string_view arg, GivenValue& out);

struct ResolvedValue {
  std::string name;    // as given
  std::string value;   // what the scale gets, as text
  std::string origin;  // ValueSource::Origin()
  ParamField field;
};

// Resolves the values of every target (`perTarget[i]` for `targets[i]`):
// each is checked against FILE's parameters as the window's control would
// check it, a parameter named twice for one target is refused, and only when
// all of them pass are the counters' values taken (one take per counter, in
// target order). `counters` is asked for the store only when a counter is
// named. "" or why the run is refused (nothing taken then, except values of
// an earlier counter when a later one refuses: the message says so).
std::string ResolveValues(const ParamSet& ps, std::span<const std::vector<GivenValue>> perTarget,
                          std::span<const std::string> targets,
                          const std::function<std::unique_ptr<CounterStore>()>& counters,
                          std::vector<std::vector<ResolvedValue>>& out);

// Sets resolved values on `ps` (they passed ResolveValues against it).
void ApplyValues(ParamSet& ps, const std::vector<ResolvedValue>& values);

// The --set argument that hands a resolved value on to a target's process.
std::string SetArgumentOf(const ResolvedValue& v);

// The counters this station uses: the factory database's when one is
// configured, else those of its records database.
std::unique_ptr<CounterStore> CountersInUse();

}  // namespace facset::cli
