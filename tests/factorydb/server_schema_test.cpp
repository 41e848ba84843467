// The factory database's schema: created once, migrated once however many
// stations run init-server at the same moment, never downgraded.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "factorydb/server_schema.h"
#include "support/pg_server.h"

namespace facset {
namespace {

using testing::PgQuery;
using testing::PgValue;
using testing::SharedPgServer;

TEST(ServerSchema, InitCreatesTablesIndexesAndTheReportView) {
  const std::string db = SharedPgServer().FreshDatabase("init");
  PgSession s;
  ASSERT_TRUE(s.Connect(db)) << s.Error();
  auto before = ReadServerSchema(s);
  ASSERT_TRUE(before);
  EXPECT_NE(ServerSchemaProblem(*before).find("records init-server"), std::string::npos);

  const InitServerResult first = InitServer(s);
  ASSERT_TRUE(first.ok()) << first.error;
  EXPECT_EQ(first.from, 0);
  EXPECT_EQ(first.to, kServerSchemaVersion);
  const InitServerResult again = InitServer(s);
  ASSERT_TRUE(again.ok()) << again.error;
  EXPECT_EQ(again.from, kServerSchemaVersion);
  EXPECT_EQ(again.to, kServerSchemaVersion);
  const auto state = ReadServerSchema(s);
  ASSERT_TRUE(state);
  EXPECT_EQ(ServerSchemaProblem(*state), "");

  // The usual questions are answered from an index: time, station, target, outcome.
  const auto indexes = PgQuery(db, "SELECT indexdef FROM pg_indexes WHERE schemaname = 'facset'"
                                   " AND tablename = 'records' ORDER BY indexname");
  std::string all;
  for (const auto& i : indexes) all += i + "\n";
  for (const char* column : {"(started)", "(station, started)", "(target, started)", "(outcome, started)"}) {
    EXPECT_NE(all.find(column), std::string::npos) << column << " in\n" << all;
  }
  // The view counts per day, station and outcome.
  PgQuery(db,
          "INSERT INTO facset.records (uid, station, station_record, started, ended, operator, program,"
          " program_version, transport, target, param_file, block_sha256, firmware_path, firmware_sha256,"
          " connect_outcome, block_outcome, firmware_outcome, outcome, error, log) SELECT gen_random_uuid(),"
          " 'line-' || (g % 2), g, timestamptz '2026-12-10 23:59:59Z' + (g || ' second')::interval, now(), 'op',"
          " 'facset-cli', '0.1', 'udp', '127.0.0.2', 'f.ini', '', '', '', 'ok', 'ok', 'not asked',"
          " CASE WHEN g = 3 THEN 'failed' ELSE 'ok' END, '', '[]' FROM generate_series(0, 3) g");
  EXPECT_EQ(PgQuery(db, "SELECT day, station, outcome, records FROM facset.records_per_day ORDER BY 1, 2, 3"),
            (std::vector<std::string>{"2026-12-10|line-0|ok|1", "2026-12-11|line-0|ok|1", "2026-12-11|line-1|failed|1",
                                      "2026-12-11|line-1|ok|1"}));
}

TEST(ServerSchema, StationsInitialisingAtOnceMigrateOnce) {
  const std::string db = SharedPgServer().FreshDatabase("init_race");
  constexpr int kStations = 6;
  std::vector<InitServerResult> results(kStations);
  std::vector<std::thread> threads;
  for (int i = 0; i < kStations; ++i) {
    threads.emplace_back([&, i] {
      PgSession s;
      if (!s.Connect(db)) {
        results[i].error = s.Error();
        return;
      }
      results[i] = InitServer(s);
    });
  }
  for (auto& t : threads) t.join();
  int created = 0;
  for (const auto& r : results) {
    EXPECT_TRUE(r.ok()) << r.error;
    created += r.from == 0 ? 1 : 0;
  }
  EXPECT_EQ(created, 1);
  EXPECT_EQ(PgValue(db, "SELECT count(*) FROM facset.schema_version"), "1");
}

TEST(ServerSchema, NewerSchemaIsLeftAloneAndRefusedToOldWriters) {
  const std::string db = SharedPgServer().FreshDatabase("newer");
  PgSession s;
  ASSERT_TRUE(s.Connect(db)) << s.Error();
  ASSERT_TRUE(InitServer(s).ok());
  // A later program that only added columns lets us write; one that changed
  // what writers must do does not.
  PgQuery(db, "UPDATE facset.schema_version SET version = 7, oldest_writer = 1");
  const InitServerResult r = InitServer(s);
  EXPECT_FALSE(r.ok());
  EXPECT_NE(r.error.find("newer"), std::string::npos) << r.error;
  EXPECT_EQ(PgValue(db, "SELECT version FROM facset.schema_version"), "7");
  auto state = ReadServerSchema(s);
  ASSERT_TRUE(state);
  EXPECT_EQ(ServerSchemaProblem(*state), "");
  PgQuery(db, "UPDATE facset.schema_version SET oldest_writer = 7");
  state = ReadServerSchema(s);
  ASSERT_TRUE(state);
  EXPECT_NE(ServerSchemaProblem(*state).find("needs a newer facset"), std::string::npos);
}

}  // namespace
}  // namespace facset
