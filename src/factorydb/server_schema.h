#pragma once
// The factory database's schema: everything lives in the PostgreSQL schema
// "facset" (records, counters, the report view), versioned in
// facset.schema_version and migrated step by step by `records init-server`.

#include <optional>
#include <string>
#include <string_view>

#include "factorydb/pg_session.h"

namespace facset {

// The schema this program creates and writes.
inline constexpr int kServerSchemaVersion = 1;

struct InitServerResult {
  int from = 0;  // the version found (0: none yet)
  int to = 0;    // the version now
  std::string error;
  bool ok() const { return error.empty(); }
};

// Creates or migrates the schema, one transaction; concurrent callers wait
// for each other and migrate once. A newer schema is left untouched (error).
InitServerResult InitServer(PgSession& s);

// What a program needs to know before it writes or reads: the version on
// the server (0: none yet) and the oldest program schema that may still write.
struct ServerSchemaState {
  int version = 0;
  int oldestWriter = 0;
};
// nullopt when it cannot be read (the session's Error() says why).
std::optional<ServerSchemaState> ReadServerSchema(PgSession& s);

// Why this program may not use a server in `state`; empty when it may.
std::string ServerSchemaProblem(const ServerSchemaState& state);

}  // namespace facset
