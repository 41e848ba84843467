#pragma once
// Where a station's records go beside its own database: the factory database,
// when one is configured. FACSET_RECORDS_URL wins; else the key "url" of the
// section [records] in facconfig.ini, in the tool's folder. The value is a
// libpq connection string or URI. A password is never taken from either (both
// are plain files or inherited by every child): libpq's own means carry it
// (~/.pgpass, PGPASSFILE, a service file).

#include <optional>
#include <string>
#include <string_view>

namespace facset {

inline constexpr std::string_view kRecordsUrlVariable = "FACSET_RECORDS_URL";
inline constexpr std::string_view kRecordsSection = "records";
inline constexpr std::string_view kRecordsUrlKey = "url";

struct ServerConfig {
  std::string conninfo;  // as configured
  std::string origin;    // "FACSET_RECORDS_URL" or the file's path and key, for messages
  std::string shown;     // the connection named for people: host, port and database
};

struct ServerConfigResult {
  std::optional<ServerConfig> server;  // none configured: the station works alone
  std::string error;                   // a value that cannot be used, and why
  bool configured() const { return server.has_value(); }
};

// Checks `conninfo` as libpq would parse it; refuses a password in it.
// `origin` names where it came from in the error.
ServerConfigResult CheckServerConfig(std::string conninfo, std::string origin);

// The configuration in force for this process: FACSET_RECORDS_URL (not empty),
// else [records] url in `folder`'s facconfig.ini (unset or blank: none).
ServerConfigResult ConfiguredServer(const std::string& folder);

}  // namespace facset
