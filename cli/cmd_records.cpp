#include <charconv>
#include <cstdio>

#include "cli.h"
#include "factorydb/forward.h"
#include "factorydb/server_config.h"
#include "factorydb/server_schema.h"
#include "records/records.h"

namespace facset::cli {
namespace {

// A sync on a timer must end even when the server hangs; what it sent by then stays sent.
constexpr int kDefaultSyncSeconds = 120;
constexpr int kInitSeconds = 60;

int Print(const std::string& text) {
  if (std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0) return Fail("cannot write to standard output");
  return kExitOk;
}

// The configured server, or the exit code of the refusal.
std::optional<int> Server(const std::string& folder, ServerConfig& out) {
  ServerConfigResult c = ConfiguredServer(folder);
  if (!c.error.empty()) return Fail(c.error);
  if (!c.server) {
    return Fail("no factory database configured: set FACSET_RECORDS_URL, or url in the [records] section of " +
                folder + "facconfig.ini");
  }
  out = *c.server;
  return std::nullopt;
}

int InitServerCommand(std::span<const std::string> args) {
  if (!args.empty()) return UsageError(kRecordsCommand, "init-server takes no arguments");
  const std::string folder = DefaultRecordsFolder();
  ServerConfig server;
  if (auto code = Server(folder, server)) return *code;
  // A migration cut off by the deadline is rolled back whole.
  PgSession s(PgLimits{std::chrono::steady_clock::now() + std::chrono::seconds(kInitSeconds)});
  if (!s.Connect(server.conninfo)) return Fail("factory database " + server.shown + ": " + s.Error());
  const InitServerResult r = InitServer(s);
  if (!r.ok()) return Fail("factory database " + server.shown + ": " + r.error);
  std::string line = "factory database " + server.shown + ": ";
  if (r.from == r.to) {
    line += "schema facset already at version " + std::to_string(r.to) + "\n";
  } else if (r.from == 0) {
    line += "schema facset created (version " + std::to_string(r.to) + ")\n";
  } else {
    line += "schema facset migrated from version " + std::to_string(r.from) + " to " + std::to_string(r.to) + "\n";
  }
  return Print(line);
}

int SyncCommand(std::span<const std::string> args) {
  int seconds = kDefaultSyncSeconds;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--timeout" && i + 1 < args.size()) {
      const std::string& v = args[++i];
      const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), seconds);
      if (ec != std::errc() || end != v.data() + v.size() || seconds < 1 || seconds > 86400) {
        return UsageError(kRecordsCommand, "--timeout takes 1 to 86400 seconds, not \"" + v + "\"");
      }
    } else {
      return UsageError(kRecordsCommand, "sync: unexpected argument " + args[i]);
    }
  }
  const std::string folder = DefaultRecordsFolder();
  ServerConfig server;
  if (auto code = Server(folder, server)) return *code;
  const ForwardResult r =
      ForwardWaiting(folder, server, PgLimits{std::chrono::steady_clock::now() + std::chrono::seconds(seconds)});
  std::string line = "sent " + std::to_string(r.sent) + (r.sent == 1 ? " record" : " records");
  if (r.already) line += " (" + std::to_string(r.already) + " already there)";
  line += ", " + std::to_string(r.waiting) + " waiting\n";
  if (const int code = Print(line); code != kExitOk) return code;
  return r.ok() ? kExitOk : Fail(r.error);
}

int StatusCommand(std::span<const std::string> args) {
  if (!args.empty()) return UsageError(kRecordsCommand, "status takes no arguments");
  const std::string folder = DefaultRecordsFolder();
  ForwardState st;
  if (auto e = ReadForwardState(folder, st)) return Fail(e->reason);
  const ServerConfigResult c = ConfiguredServer(folder);
  std::string out = "factory database: ";
  if (!c.error.empty()) {
    out += "not usable: " + c.error + "\n";
  } else if (c.server) {
    out += c.server->shown + " (" + c.server->origin + ")\n";
  } else {
    out += "none configured\n";
  }
  out += "waiting: " + std::to_string(st.waiting);
  if (st.waiting) out += " (oldest started " + st.oldestWaitingUtc + ")";
  out += "\nlast forwarding: ";
  if (st.lastAttemptUtc.empty()) {
    out += "never\n";
  } else {
    out += st.lastAttemptUtc + (st.lastError.empty() ? ", everything sent\n" : ", " + st.lastError + "\n");
  }
  return Print(out);
}

int RunRecords(std::span<const std::string> args) {
  if (args.empty()) return UsageError(kRecordsCommand, "missing subcommand");
  const std::string& sub = args[0];
  if (sub == "--help" || sub == "-h") {
    PrintHelp(kRecordsCommand);
    return kExitOk;
  }
  const auto rest = args.subspan(1);
  for (const std::string& a : rest) {
    if (a == "--help" || a == "-h") {
      PrintHelp(kRecordsCommand);
      return kExitOk;
    }
  }
  if (sub == "init-server") return InitServerCommand(rest);
  if (sub == "sync") return SyncCommand(rest);
  if (sub == "status") return StatusCommand(rest);
  return UsageError(kRecordsCommand, "unknown subcommand " + sub);
}

}  // namespace

const Command kRecordsCommand{
    "records", "records init-server|sync|status",
    "forward records to the factory database",
    "Subcommands: init-server, sync [--timeout S], status\n\n"
    "Every download is recorded in this station's database first; when a factory\n"
    "database is configured (FACSET_RECORDS_URL, or url in the [records] section\n"
    "of facconfig.ini: a PostgreSQL connection string or URI, never with a\n"
    "password: use ~/.pgpass or a service file), the records are also sent there,\n"
    "each once, after each download and by this command.\n"
    "  init-server    create the schema facset on the factory database, or migrate\n"
    "                 it to this program's version (run once, from any station)\n"
    "  sync           send every record still waiting (for a timer or cron); a\n"
    "                 sync cut short loses nothing: run it again\n"
    "    --timeout S  give up after S seconds (default 120); what was sent stays\n"
    "  status         records waiting, and how the last forwarding ended\n"
    "Exit status: 0 success (sync: nothing left waiting); 1 error, reason on\n"
    "stderr; 2 bad usage.\n",
    RunRecords};

}  // namespace facset::cli
