#pragma once
// Named counters that hand out per-unit values (scale numbers, serials): each
// value goes to one scale only. A counter holds the next value it gives; a
// take moves it on at once, in one atomic step, so two processes (or two
// stations sharing a store) never get the same value, and a value taken by a
// run that then failed is never given again.
//
// The station keeps its counters in its records database; a factory database,
// when one is configured, can keep them for every station behind the same
// interface.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace facset {

enum class CounterErrorCode : std::uint8_t {
  NoSuchCounter,  // never set: a misspelt name must not start again at 1
  PastLimit,      // the values would pass the largest the parameter takes
  Unavailable,    // the store cannot be opened, read or written now (the reason names the store)
};

struct CounterError {
  CounterErrorCode code = CounterErrorCode::Unavailable;
  std::string reason;
};

struct CounterValue {
  std::optional<std::int64_t> value;  // the next value, or the first one taken
  std::optional<CounterError> error;
  explicit operator bool() const { return !error; }
};

struct CounterEntry {
  std::string name;
  std::int64_t next = 0;
};

struct CounterList {
  std::vector<CounterEntry> counters;  // by name
  std::optional<CounterError> error;
};

// The largest value a counter may reach.
inline constexpr std::int64_t kCounterMax = 999'999'999'999'999'999;

class CounterStore {
 public:
  virtual ~CounterStore() = default;
  // Where the counters are kept, for messages: "the station database PATH".
  virtual std::string Where() const = 0;
  // The next value of `name`; NoSuchCounter when it was never set.
  virtual CounterValue Next(std::string_view name) = 0;
  // Makes `next` the next value of `name`, creating the counter.
  virtual CounterValue Set(std::string_view name, std::int64_t next) = 0;
  // Takes `count` consecutive values at once and returns the first. Refused,
  // nothing taken, when the counter does not exist or its last value would
  // pass `largest`.
  virtual CounterValue Take(std::string_view name, std::int64_t count, std::int64_t largest) = 0;
  virtual CounterList List() = 0;
};

// The refusals every store gives in the same words: a counter never set, and
// `count` values from `next` that would pass `largest`.
CounterError NoSuchCounterError(std::string_view name);
CounterError PastLimitError(std::string_view name, std::int64_t next, std::int64_t count, std::int64_t largest);

// A counter's name: letters, digits, "_", "-" and ".", 1 to 64 of them.
// "" or why not.
std::string CheckCounterName(std::string_view name);

// The counters of the station database in `folder` (the records database).
std::unique_ptr<CounterStore> StationCounters(const std::string& folder);

}  // namespace facset
