#include "factorydb/server_config.h"

#include <libpq-fe.h>

#include <cstdlib>
#include <memory>

#include "platform/ini_file.h"
#include "platform/text_rules.h"

namespace facset {
namespace {

constexpr std::string_view kToolConfigFile = "facconfig.ini";

struct OptionsDeleter {
  void operator()(PQconninfoOption* o) const { PQconninfoFree(o); }
};

}  // namespace

ServerConfigResult CheckServerConfig(std::string conninfo, std::string origin) {
  ServerConfigResult out;
  char* err = nullptr;
  std::unique_ptr<PQconninfoOption, OptionsDeleter> opts(PQconninfoParse(conninfo.c_str(), &err));
  if (!opts) {
    std::string why = err ? err : "out of memory";
    PQfreemem(err);
    while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
    out.error = origin + ": not a connection string or URI: " + why;
    return out;
  }
  std::string host, port, dbname, service;
  for (const PQconninfoOption* o = opts.get(); o->keyword; ++o) {
    const std::string_view key = o->keyword;
    const std::string value = o->val ? o->val : "";
    if (key == "password" && o->val) {
      out.error = origin +
                  ": holds a password; keep it out of the tool's settings and give it through "
                  "~/.pgpass, PGPASSFILE or a service file";
      return out;
    }
    if (key == "host" || key == "hostaddr") {
      if (host.empty()) host = value;
    } else if (key == "port") {
      port = value;
    } else if (key == "dbname") {
      dbname = value;
    } else if (key == "service") {
      service = value;
    }
  }
  ServerConfig c;
  c.conninfo = std::move(conninfo);
  c.origin = std::move(origin);
  if (!service.empty()) c.shown = "service " + service;
  if (!host.empty()) c.shown += (c.shown.empty() ? "" : " ") + host;
  if (!port.empty()) c.shown += ":" + port;
  if (!dbname.empty()) c.shown += (c.shown.empty() ? "database " : "/") + dbname;
  if (c.shown.empty()) c.shown = "the default server";
  out.server = std::move(c);
  return out;
}

ServerConfigResult ConfiguredServer(const std::string& folder) {
  if (const char* env = std::getenv(std::string(kRecordsUrlVariable).c_str()); env && *env) {
    return CheckServerConfig(env, std::string(kRecordsUrlVariable));
  }
  std::string path = folder.empty() ? std::string("./") : folder;
  if (path.back() != '/') path.push_back('/');
  path += kToolConfigFile;
  std::string value;
  try {
    const IniFile ini(path);
    value = ini.ReadString(kRecordsSection, kRecordsUrlKey, "");
  } catch (const std::exception& e) {
    ServerConfigResult out;
    out.error = e.what();
    return out;
  }
  value = std::string(TrimBlanks(value));
  if (value.empty()) return {};
  return CheckServerConfig(value, path + " [" + std::string(kRecordsSection) + "] " + std::string(kRecordsUrlKey));
}

}  // namespace facset
