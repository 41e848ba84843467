#include "factorydb/server_counters.h"

#include <chrono>

#include "factorydb/pg_session.h"
#include "factorydb/server_schema.h"
#include "records/records.h"

namespace facset {
namespace {

class ServerCounterStore final : public CounterStore {
 public:
  ServerCounterStore(ServerConfig server, std::string station, std::chrono::milliseconds limit)
      : server_(std::move(server)), station_(std::move(station)), limit_(limit) {}

  std::string Where() const override { return "the factory database " + server_.shown; }

  CounterValue Next(std::string_view name) override {
    CounterValue out;
    const auto rows = Run("SELECT next_value FROM facset.counters WHERE name = $1", {PgParam::Text(std::string(name))},
                          out.error);
    if (!rows) return out;
    if (rows->Count() == 0) {
      out.error = NoSuchCounterError(name);
    } else {
      out.value = rows->Int(0, 0);
    }
    return out;
  }

  CounterValue Set(std::string_view name, std::int64_t next) override {
    CounterValue out;
    const auto rows = Run("INSERT INTO facset.counters (name, next_value, updated_by) VALUES ($1, $2, $3)"
                          " ON CONFLICT (name) DO UPDATE SET next_value = excluded.next_value, updated = now(),"
                          " updated_by = excluded.updated_by RETURNING next_value",
                          {PgParam::Text(std::string(name)), PgParam::Int(next), PgParam::Text(station_)}, out.error);
    if (rows) out.value = rows->Int(0, 0);
    return out;
  }

  CounterValue Take(std::string_view name, std::int64_t count, std::int64_t largest) override {
    CounterValue out;
    const std::int64_t limit = std::min(largest, kCounterMax);
    // One statement: the row's lock makes stations taking at once wait for
    // each other, and each moves the counter on from where the last left it.
    const auto rows = Run("UPDATE facset.counters SET next_value = next_value + $2, updated = now(), updated_by = $4"
                          " WHERE name = $1 AND $2 >= 1 AND next_value + $2 - 1 <= $3 RETURNING next_value - $2",
                          {PgParam::Text(std::string(name)), PgParam::Int(count), PgParam::Int(limit),
                           PgParam::Text(station_)},
                          out.error);
    if (!rows) return out;
    if (rows->Count() == 1) {
      out.value = rows->Int(0, 0);
      return out;
    }
    // Nothing taken: say why.
    const CounterValue now = Next(name);
    out.error = now.error ? *now.error : PastLimitError(name, *now.value, count, largest);
    return out;
  }

  CounterList List() override {
    CounterList out;
    const auto rows = Run("SELECT name, next_value FROM facset.counters ORDER BY name", {}, out.error);
    if (!rows) return out;
    for (int r = 0; r < rows->Count(); ++r) out.counters.push_back({std::string(rows->Text(r, 0)), rows->Int(r, 1)});
    return out;
  }

 private:
  // One statement on a connection made (or kept) for it, within the limit.
  std::optional<PgRows> Run(const std::string& sql, const std::vector<PgParam>& params,
                            std::optional<CounterError>& error) {
    session_.SetLimits(PgLimits{std::chrono::steady_clock::now() + limit_});
    auto unavailable = [&](const std::string& why) {
      error = CounterError{CounterErrorCode::Unavailable, "factory database " + server_.shown + ": " + why};
      return std::nullopt;
    };
    if (!session_.Connected()) {
      if (!session_.Connect(server_.conninfo)) return unavailable(session_.Error());
      const auto schema = ReadServerSchema(session_);
      if (!schema) return unavailable(session_.Error());
      if (std::string problem = ServerSchemaProblem(*schema); !problem.empty()) return unavailable(problem);
    }
    auto rows = session_.Exec(sql, params);
    if (!rows) return unavailable(session_.Error());
    return rows;
  }

  ServerConfig server_;
  std::string station_;
  std::chrono::milliseconds limit_;
  PgSession session_;
};

// What a factory database setting that cannot be used leaves: refusals.
class RefusingCounterStore final : public CounterStore {
 public:
  RefusingCounterStore(std::string where, std::string why) : where_(std::move(where)), why_(std::move(why)) {}
  std::string Where() const override { return where_; }
  CounterValue Next(std::string_view) override { return Refused(); }
  CounterValue Set(std::string_view, std::int64_t) override { return Refused(); }
  CounterValue Take(std::string_view, std::int64_t, std::int64_t) override { return Refused(); }
  CounterList List() override {
    CounterList out;
    out.error = Refused().error;
    return out;
  }

 private:
  CounterValue Refused() const {
    CounterValue out;
    out.error = CounterError{CounterErrorCode::Unavailable, where_ + ": " + why_};
    return out;
  }
  std::string where_, why_;
};

}  // namespace

std::unique_ptr<CounterStore> CountersFor(const std::string& folder) {
  const ServerConfigResult c = ConfiguredServer(folder);
  if (!c.error.empty()) return std::make_unique<RefusingCounterStore>("the factory database", c.error);
  if (c.server) return ServerCounters(*c.server, StationName());
  return StationCounters(folder);
}

std::unique_ptr<CounterStore> ServerCounters(const ServerConfig& server, std::string station,
                                             std::chrono::milliseconds limit) {
  return std::make_unique<ServerCounterStore>(server, std::move(station), limit);
}

}  // namespace facset

