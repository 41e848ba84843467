// The connection's waits end by their deadline or when told to stop, whatever
// the server does; statements, refusals and streaming against a real server.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "factorydb/pg_session.h"
#include "support/pg_server.h"
#include "support/tcp_listener.h"

namespace facset {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using testing::ClosedPort;
using testing::SharedPgServer;
using testing::SilentListener;

TEST(PgSession, ConnectToNothingFailsAsALinkFailure) {
  for (const std::string& conninfo :
       {"host=127.0.0.1 port=" + std::to_string(ClosedPort()) + " dbname=x user=x",
        std::string("host=/nonexistent/facset-socket dbname=x user=x")}) {
    PgSession s(PgLimits{Clock::now() + std::chrono::seconds(5)});
    EXPECT_FALSE(s.Connect(conninfo)) << conninfo;
    EXPECT_TRUE(s.LinkFailed());
    EXPECT_FALSE(s.Error().empty());
    EXPECT_EQ(s.Error().find('\n'), std::string::npos) << s.Error();
  }
}

TEST(PgSession, SilentServerEndsAtTheDeadlineOrTheStopFlag) {
  SilentListener silent;
  const std::string conninfo = "host=127.0.0.1 port=" + std::to_string(silent.port()) + " dbname=x user=x";
  {
    const auto start = Clock::now();
    PgSession s(PgLimits{start + milliseconds(300)});
    EXPECT_FALSE(s.Connect(conninfo));
    EXPECT_TRUE(s.LinkFailed());
    const auto took = Clock::now() - start;
    EXPECT_GE(took, milliseconds(300));
    EXPECT_LT(took, milliseconds(3000)) << "libpq's own timeouts are seconds long: the deadline must win";
  }
  {
    std::atomic<bool> stop{false};
    PgSession s(PgLimits{Clock::time_point::max(), &stop});
    std::thread stopper([&] {
      std::this_thread::sleep_for(milliseconds(200));
      stop = true;
    });
    EXPECT_FALSE(s.Connect(conninfo));
    stopper.join();
    EXPECT_EQ(s.Error(), "no answer in the time given");
  }
}

TEST(PgSession, RefusedStatementKeepsTheSessionAndSaysWhy) {
  const std::string db = SharedPgServer().FreshDatabase("refused");
  PgSession s;
  ASSERT_TRUE(s.Connect(db)) << s.Error();
  EXPECT_FALSE(s.Exec("SELECT * FROM no_such_table"));
  EXPECT_EQ(s.SqlState(), "42P01");
  EXPECT_FALSE(s.LinkFailed());
  EXPECT_NE(s.Error().find("no_such_table"), std::string::npos);
  // Parameters of every kind round-trip, including bytes that are no text.
  const auto rows = s.Exec("SELECT $1::text, length($2::bytea), $3::bigint IS NULL, $4::text",
                           {PgParam::Text("标签秤"), PgParam::Bytes(std::string("\0\xff\x01", 3)), PgParam::Null(),
                            PgParam::Int(-42)});
  ASSERT_TRUE(rows) << s.Error();
  EXPECT_EQ(rows->Text(0, 0), "标签秤");
  EXPECT_EQ(rows->Int(0, 1), 3);
  EXPECT_EQ(rows->Text(0, 2), "t");
  EXPECT_EQ(rows->Int(0, 3), -42);
}

TEST(PgSession, StreamsRowsAndStopsWhenTold) {
  const std::string db = SharedPgServer().FreshDatabase("stream");
  PgSession s;
  ASSERT_TRUE(s.Connect(db)) << s.Error();
  std::int64_t sum = 0, count = 0;
  ASSERT_TRUE(s.Stream("SELECT g FROM generate_series(1, $1::int) g", {PgParam::Int(20000)}, [&](const PgRows& r) {
    EXPECT_EQ(r.Count(), 1);
    sum += r.Int(0, 0);
    ++count;
    return true;
  })) << s.Error();
  EXPECT_EQ(count, 20000);
  EXPECT_EQ(sum, 20000LL * 20001 / 2);

  count = 0;
  EXPECT_TRUE(s.Stream("SELECT g FROM generate_series(1, 1000000) g", {}, [&](const PgRows&) { return ++count < 3; }));
  EXPECT_EQ(count, 3);
}

TEST(PgSession, ServerGoneMidSessionIsALinkFailure) {
  const std::string db = SharedPgServer().FreshDatabase("gone");
  PgSession s;
  ASSERT_TRUE(s.Connect(db)) << s.Error();
  // Another session ends ours, as a server restart would.
  testing::PgQuery(db, "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = current_database()"
                      " AND pid <> pg_backend_pid()");
  EXPECT_FALSE(s.Exec("SELECT 1"));
  EXPECT_TRUE(s.LinkFailed()) << s.SqlState() << " " << s.Error();
}

}  // namespace
}  // namespace facset
