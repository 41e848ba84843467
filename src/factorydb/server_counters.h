#pragma once
// Named counters on the factory database (facset.counters), shared by every
// station: the same CounterStore as the station's own, so a scale number is
// taken in one atomic step whichever station takes it. A server that cannot
// be reached makes every operation fail (Unavailable) within a few seconds:
// the run that needed the value is refused before anything is sent.

#include <chrono>
#include <memory>

#include "factorydb/server_config.h"
#include "records/counters.h"

namespace facset {

// `station` names the taker in the counter's row (updated_by). Each
// operation ends within `limit`, else it is Unavailable.
std::unique_ptr<CounterStore> ServerCounters(const ServerConfig& server, std::string station,
                                             std::chrono::milliseconds limit = std::chrono::seconds(10));

// The counters in force for the station whose files are in `folder`: the
// factory database's when one is configured, else the station database's.
// A setting that cannot be used gives a store that refuses every operation
// (Unavailable, the reason named): never the station's own counters, which
// would give numbers the factory has given already.
std::unique_ptr<CounterStore> CountersFor(const std::string& folder);

}  // namespace facset
