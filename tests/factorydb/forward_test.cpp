// Store and forward against a real PostgreSQL: every record reaches the
// factory database once, whatever is cut off when.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <map>
#include <thread>

#include "factorydb/forward.h"
#include "factorydb/server_records.h"
#include "station_fixture.h"
#include "support/tcp_listener.h"

namespace facset {
namespace {

using std::chrono::milliseconds;
using testing::ConfigFor;
using testing::FactoryDatabase;
using testing::FillStation;
using testing::LocalRecords;
using testing::ServerRecords;
using testing::PgQuery;
using testing::PgValue;
using testing::SharedPgServer;
using testing::TempDir;
using testing::Waiting;

void SqliteExec(const std::string& folder, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open(RecordsPath(folder).c_str(), &db);
  char* err = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
  const std::string why = err ? err : "";
  sqlite3_free(err);
  sqlite3_close(db);
  if (rc != SQLITE_OK) throw std::runtime_error(sql + ": " + why);
}

PgLimits Within(int ms) { return PgLimits{std::chrono::steady_clock::now() + milliseconds(ms)}; }

TEST(Forward, EveryFieldArrivesOnceAndSendingAgainChangesNothing) {
  const std::string db = FactoryDatabase("every_field");
  TempDir station;
  FillStation(station.path(), "line-1", 450);  // more than one batch
  DownloadRecord bare;  // nothing optional, no block
  bare.startUtc = "2026-12-10T05:00:00.000Z";
  bare.endUtc = bare.startUtc;
  bare.target = "127.0.0.9";
  bare.station = "line-1";
  ASSERT_TRUE(AppendRecord(station.path(), bare));

  ForwardResult r = ForwardWaiting(station.path(), ConfigFor(db), Within(30000));
  ASSERT_TRUE(r.ok()) << r.error;
  EXPECT_EQ(r.sent, 451);
  EXPECT_EQ(r.already, 0);
  EXPECT_EQ(r.waiting, 0);
  EXPECT_EQ(ServerRecords(db), LocalRecords(station.path()));

  // The marks lost (a crash between the server's commit and ours): everything
  // is sent again and the server keeps one of each.
  SqliteExec(station.path(), "INSERT INTO forward_waiting(id) SELECT id FROM downloads");
  EXPECT_EQ(Waiting(station.path()), 451);
  r = ForwardWaiting(station.path(), ConfigFor(db), Within(30000));
  ASSERT_TRUE(r.ok()) << r.error;
  EXPECT_EQ(r.sent, 0);
  EXPECT_EQ(r.already, 451);
  EXPECT_EQ(PgValue(db, "SELECT count(*) FROM facset.records"), "451");
  ForwardState st;
  ASSERT_FALSE(ReadForwardState(station.path(), st));
  EXPECT_EQ(st.waiting, 0);
  EXPECT_EQ(st.lastError, "");
  EXPECT_FALSE(st.lastAttemptUtc.empty());
}

TEST(Forward, RecordTheServerRefusesDoesNotHoldUpTheOthers) {
  const std::string db = FactoryDatabase("refused_row");
  TempDir station;
  FillStation(station.path(), "line-3", 5);
  // Hand-edited: a start no database can read. Text that is not UTF-8 (a
  // path in GBK, a NUL) is no reason to refuse: it arrives as U+FFFD.
  SqliteExec(station.path(),
             "UPDATE downloads SET started_utc = 'yesterday-ish' WHERE id = 2;"
             "UPDATE downloads SET param_file = CAST(X'2F73AAB62E696E6900' AS TEXT) WHERE id = 4");
  const ForwardResult r = ForwardWaiting(station.path(), ConfigFor(db), Within(30000));
  EXPECT_EQ(r.sent, 4);
  EXPECT_EQ(r.waiting, 1);
  EXPECT_NE(r.error.find("record 2 refused"), std::string::npos) << r.error;
  EXPECT_EQ(PgValue(db, "SELECT param_file FROM facset.records WHERE station_record = 4"),
            "/s\xEF\xBF\xBD\xEF\xBF\xBD.ini\xEF\xBF\xBD");
  ForwardState st;
  ASSERT_FALSE(ReadForwardState(station.path(), st));
  EXPECT_EQ(st.lastError, r.error);
}

TEST(Forward, StationsForwardingAtOnceEachRecordOnce) {
  const std::string db = FactoryDatabase("two_stations");
  TempDir a, b;
  FillStation(a.path(), "line-a", 400);
  FillStation(b.path(), "line-b", 400);
  // Two stations, and two forwardings on station a (a sync timer and the end
  // of a download): station a's lock makes one wait for the other.
  ForwardResult ra1, ra2, rb;
  std::thread t1([&] { ra1 = ForwardWaiting(a.path(), ConfigFor(db), Within(30000)); });
  std::thread t2([&] { ra2 = ForwardWaiting(a.path(), ConfigFor(db), Within(30000)); });
  std::thread t3([&] { rb = ForwardWaiting(b.path(), ConfigFor(db), Within(30000)); });
  t1.join();
  t2.join();
  t3.join();
  EXPECT_TRUE(rb.ok()) << rb.error;
  // The second of station a waits for the first (on a slow machine it may give
  // up waiting, leaving the sending to the first: never both send).
  for (const ForwardResult* r : {&ra1, &ra2}) {
    if (!r->ok()) {
      EXPECT_NE(r->error.find("is held by"), std::string::npos) << r->error;
    }
  }
  EXPECT_TRUE(ra1.ok() || ra2.ok());
  EXPECT_EQ(ra1.sent + ra2.sent, 400);
  EXPECT_EQ(ra1.already + ra2.already, 0) << "the second forwarding of a station must wait, not send twice";
  EXPECT_EQ(ServerRecords(db, "line-a"), LocalRecords(a.path()));
  EXPECT_EQ(ServerRecords(db, "line-b"), LocalRecords(b.path()));
}

TEST(Forward, NoSchemaOnTheServerLeavesEverythingWaitingAndSaysWhatToRun) {
  const std::string db = SharedPgServer().FreshDatabase("no_schema");
  TempDir station;
  FillStation(station.path(), "line-4", 3);
  const ForwardResult r = ForwardWaiting(station.path(), ConfigFor(db), Within(30000));
  EXPECT_NE(r.error.find("records init-server"), std::string::npos) << r.error;
  EXPECT_EQ(r.waiting, 3);
}

TEST(BackgroundForward, SendsOnceReleasedAndNeverHoldsTheStationLong) {
  const std::string db = FactoryDatabase("background");
  TempDir station;
  {
    BackgroundForward f(station.path(), ConfigFor(db));
    FillStation(station.path(), "line-5", 3);  // the run writes its record meanwhile
    f.Release();
    const ForwardResult r = f.Finish(milliseconds(20000), milliseconds(20000));
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.sent, 3);
  }
  EXPECT_EQ(PgValue(db, "SELECT count(*) FROM facset.records"), "3");

  // A server that takes the connection and never answers: Finish gives up
  // after the shorter wait, the record stays waiting, the outcome is kept.
  const testing::SilentListener listener;
  const std::string silent = "host=127.0.0.1 port=" + std::to_string(listener.port()) + " dbname=x user=x";
  {
    BackgroundForward f(station.path(), ConfigFor(silent));
    FillStation(station.path(), "line-5", 1, 100);
    f.Release();
    const auto start = std::chrono::steady_clock::now();
    const ForwardResult r = f.Finish(milliseconds(20000), milliseconds(150));
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(5000));
    EXPECT_FALSE(r.ok());
  }
  EXPECT_EQ(Waiting(station.path()), 1);
  ForwardState st;
  ASSERT_FALSE(ReadForwardState(station.path(), st));
  EXPECT_NE(st.lastError, "");
}

}  // namespace
}  // namespace facset
