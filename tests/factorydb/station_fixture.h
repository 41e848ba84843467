#pragma once
// A station folder with records in its database, and a factory database with
// the schema, for the forwarding tests.

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include <map>

#include "factorydb/server_config.h"
#include "factorydb/server_records.h"
#include "factorydb/server_schema.h"
#include "download/sha256.h"
#include "records/records.h"
#include "support/pg_server.h"
#include "support/temp_files.h"

namespace facset::testing {

// Record `n` of station `station`: every field filled, some in Chinese, the
// block different per record.
inline DownloadRecord StationRecord(const std::string& station, int n, RunOutcome outcome = RunOutcome::Ok) {
  DownloadRecord r;
  r.uid = NewRecordUid();
  char start[40];
  std::snprintf(start, sizeof start, "2026-12-%02dT%02d:%02d:%02d.%03dZ", 1 + n / 86400 % 28, n / 3600 % 24,
                n / 60 % 60, n % 60, n % 1000);
  r.startUtc = start;
  r.endUtc = start;
  r.station = station;
  r.operatorName = "王工";
  r.program = "facset-cli";
  r.version = "0.1";
  r.transport = n % 3 ? "udp" : "serial";
  r.target = n % 3 ? "127.0.0." + std::to_string(2 + n % 7) : "COM1 /dev/ttyUSB0";
  r.paramFile = "/srv/params/标签秤.ini";
  ParamBlock b{};
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(i * 7 + n);
  b[0] = 0xA6;
  r.block = b;
  r.blockSha256 = Sha256Hex(b.data(), b.size());
  if (n % 2) {
    r.firmwarePath = "/srv/fw/scale.hex";
    r.firmwareSize = 10240;
    r.firmwareSha256 = std::string(64, 'b');
    r.blocksSent = n % 9;
    r.blocksToSend = 8;
    r.firmwareOutcome = StepOutcome::Completed;
  }
  const bool ok = outcome == RunOutcome::Ok;
  r.connectOutcome = StepOutcome::Ok;
  r.blockOutcome = ok ? StepOutcome::Ok : StepOutcome::Failed;
  r.outcome = outcome;
  r.exitCode = ok ? 0 : 4;
  r.error = ok ? "" : "block refused";
  r.log = {" connect ..." + r.target, " connect ok ", "第 " + std::to_string(n) + " 台"};
  return r;
}

// Appends records 1..count of `station` into `folder`; their local ids.
inline std::vector<std::int64_t> FillStation(const std::string& folder, const std::string& station, int count,
                                             int first = 1) {
  std::vector<std::int64_t> ids;
  for (int n = first; n < first + count; ++n) {
    const AppendResult a = AppendRecord(folder, StationRecord(station, n, n % 5 ? RunOutcome::Ok : RunOutcome::Failed));
    if (!a) throw std::runtime_error(a.error->reason);
    ids.push_back(a.id);
  }
  return ids;
}

// A fresh factory database with the schema in place.
inline std::string FactoryDatabase(const std::string& hint) {
  const std::string db = SharedPgServer().FreshDatabase(hint);
  PgSession s;
  if (!s.Connect(db)) throw std::runtime_error(s.Error());
  if (const InitServerResult r = InitServer(s); !r.ok()) throw std::runtime_error(r.error);
  return db;
}

// The server holds the INSERT of station record `stationRecord` (a trigger
// sleeps a minute in it): a forwarding hangs in the middle, for a test to
// kill the server under it.
inline void HangInsertOf(const std::string& db, int stationRecord) {
  PgQuery(db,
          "CREATE FUNCTION facset.hang() RETURNS trigger LANGUAGE plpgsql AS"
          " 'BEGIN PERFORM pg_sleep(60); RETURN NEW; END';"
          "CREATE TRIGGER hang BEFORE INSERT ON facset.records FOR EACH ROW"
          " WHEN (NEW.station_record = " + std::to_string(stationRecord) + ") EXECUTE FUNCTION facset.hang()");
}
// Until the INSERT hangs (30 s at most).
inline void WaitForHang(const std::string& db) {
  for (int i = 0; i < 3000 && PgQuery(db, "SELECT 1 FROM pg_stat_activity WHERE wait_event = 'PgSleep'").empty();
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}
inline void EndHang(const std::string& db) { PgQuery(db, "DROP TRIGGER hang ON facset.records"); }

inline ServerConfig ConfigFor(const std::string& conninfo) {
  const ServerConfigResult r = CheckServerConfig(conninfo, "test");
  if (!r.server) throw std::runtime_error(r.error);
  return *r.server;
}

// Every record on the server (of `station`, or all), by uid; a uid seen twice fails the test.
inline std::map<std::string, DownloadRecord> ServerRecords(const std::string& db, const std::string& station = "") {
  PgSession s;
  if (!s.Connect(db)) throw std::runtime_error(s.Error());
  std::map<std::string, DownloadRecord> out;
  ServerRecordFilter f;
  f.station = station;
  if (!ForEachServerRecord(s, f, [&](const DownloadRecord& r) {
        EXPECT_TRUE(out.emplace(r.uid, r).second) << "twice: " << r.uid;
        return true;
      })) {
    throw std::runtime_error(s.Error());
  }
  return out;
}

inline std::map<std::string, DownloadRecord> LocalRecords(const std::string& folder) {
  std::map<std::string, DownloadRecord> out;
  for (const DownloadRecord& r : ReadRecords(folder).records) out.emplace(r.uid, r);
  return out;
}

inline std::int64_t Waiting(const std::string& folder) {
  ForwardState st;
  if (auto e = ReadForwardState(folder, st)) throw std::runtime_error(e->reason);
  return st.waiting;
}

}  // namespace facset::testing
