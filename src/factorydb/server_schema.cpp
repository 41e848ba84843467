#include "factorydb/server_schema.h"

#include <array>

namespace facset {
namespace {

// Any constant that no other program is likely to take as its advisory lock:
// "facset" in ASCII.
constexpr const char* kInitLock = "SELECT pg_advisory_xact_lock(107284663133556)";

// Each step takes the schema from `to - 1` to `to`. `oldestWriter` is the
// oldest program schema that may still forward into the result: a step that
// only adds keeps it, so older stations go on sending while the factory
// upgrades them one by one.
struct ServerMigration {
  int to;
  int oldestWriter;
  const char* sql;
};

constexpr std::array kServerMigrations = {
    ServerMigration{
        1, 1,
        // One row per download of any station, under the id the station made
        // when it wrote the record: sending it again changes nothing.
        "CREATE TABLE facset.records ("
        " uid uuid PRIMARY KEY,"
        " station text NOT NULL,"
        " station_record bigint NOT NULL,"
        " started timestamptz NOT NULL,"
        " ended timestamptz NOT NULL,"
        " operator text NOT NULL,"
        " program text NOT NULL,"
        " program_version text NOT NULL,"
        " transport text NOT NULL,"
        " target text NOT NULL,"
        " param_file text NOT NULL,"
        " block bytea,"
        " block_sha256 text NOT NULL,"
        " firmware_path text NOT NULL,"
        " firmware_size bigint,"
        " firmware_sha256 text NOT NULL,"
        " blocks_sent bigint,"
        " blocks_to_send bigint,"
        " connect_outcome text NOT NULL,"
        " block_outcome text NOT NULL,"
        " firmware_outcome text NOT NULL,"
        " outcome text NOT NULL,"
        " exit_code integer,"
        " error text NOT NULL,"
        " log json NOT NULL,"
        " values_set json,"
        " received timestamptz NOT NULL DEFAULT now());"
        "CREATE INDEX records_started ON facset.records (started);"
        "CREATE INDEX records_station ON facset.records (station, started);"
        "CREATE INDEX records_target ON facset.records (target, started);"
        // A serial target is \"COM1 /dev/ttyUSB0\" and is asked for by either word.
        "CREATE INDEX records_target_words ON facset.records USING gin (string_to_array(target, ' '));"
        "CREATE INDEX records_outcome ON facset.records (outcome, started);"
        "COMMENT ON TABLE facset.records IS 'One row per download of any station (facset-cli records sync)';"
        // Named counters shared by every station (scale numbers and the like).
        "CREATE TABLE facset.counters ("
        " name text PRIMARY KEY,"
        " next_value bigint NOT NULL,"
        " updated timestamptz NOT NULL DEFAULT now(),"
        " updated_by text NOT NULL DEFAULT '');"
        // For reports: BI tools read it like a table.
        "CREATE VIEW facset.records_per_day AS"
        " SELECT (started AT TIME ZONE 'UTC')::date AS day, station, outcome, count(*) AS records"
        " FROM facset.records GROUP BY 1, 2, 3;"
        "COMMENT ON VIEW facset.records_per_day IS"
        " 'Downloads per UTC day, station and outcome (ok, failed, aborted, ...)';"},
};
static_assert(kServerMigrations.back().to == kServerSchemaVersion);

}  // namespace

std::string ServerSchemaProblem(const ServerSchemaState& state) {
  if (state.version <= 0) {
    return "the factory database has no facset records yet: run facset-cli records init-server";
  }
  if (state.oldestWriter > kServerSchemaVersion) {
    return "the factory database (schema " + std::to_string(state.version) +
           ") needs a newer facset than this one (schema " + std::to_string(kServerSchemaVersion) + ")";
  }
  return {};
}

std::optional<ServerSchemaState> ReadServerSchema(PgSession& s) {
  const auto none = s.Exec("SELECT to_regclass('facset.schema_version') IS NULL");
  if (!none) return std::nullopt;
  if (none->Text(0, 0) == "t") return ServerSchemaState{};
  const auto rows = s.Exec("SELECT version, oldest_writer FROM facset.schema_version ORDER BY version DESC LIMIT 1");
  if (!rows) return std::nullopt;
  if (rows->Count() == 0) return ServerSchemaState{};
  return ServerSchemaState{static_cast<int>(rows->Int(0, 0)), static_cast<int>(rows->Int(0, 1))};
}

InitServerResult InitServer(PgSession& s) {
  InitServerResult out;
  auto fail = [&](const std::string& what) {
    out.error = what + ": " + s.Error();
    if (s.Connected()) s.Exec("ROLLBACK");
    return out;
  };
  if (!s.Exec("BEGIN") || !s.Exec(kInitLock)) return fail("cannot start the migration");
  if (!s.Exec("CREATE SCHEMA IF NOT EXISTS facset") ||
      !s.Exec("CREATE TABLE IF NOT EXISTS facset.schema_version ("
              " version integer NOT NULL, oldest_writer integer NOT NULL,"
              " migrated timestamptz NOT NULL DEFAULT now())")) {
    return fail("cannot create the schema facset");
  }
  const auto state = ReadServerSchema(s);
  if (!state) return fail("cannot read the schema version");
  out.from = out.to = state->version;
  if (state->version > kServerSchemaVersion) {
    s.Exec("ROLLBACK");
    out.error = "the factory database's schema (version " + std::to_string(state->version) +
                ") is newer than this program's (" + std::to_string(kServerSchemaVersion) + "): left as it is";
    return out;
  }
  for (const ServerMigration& m : kServerMigrations) {
    if (m.to <= out.to) continue;
    if (!s.Exec(m.sql)) return fail("cannot migrate to version " + std::to_string(m.to));
    if (!s.Exec("DELETE FROM facset.schema_version") ||
        !s.Exec("INSERT INTO facset.schema_version (version, oldest_writer) VALUES ($1, $2)",
                {PgParam::Int(m.to), PgParam::Int(m.oldestWriter)})) {
      return fail("cannot migrate to version " + std::to_string(m.to));
    }
    out.to = m.to;
  }
  if (!s.Exec("COMMIT")) return fail("cannot commit the migration");
  return out;
}

}  // namespace facset
