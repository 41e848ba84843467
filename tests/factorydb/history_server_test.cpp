// facset-cli history --server: the factory-wide records with the station's
// filters and formats, plus --station.
#include <gtest/gtest.h>

#include <algorithm>

#include "factorydb/forward.h"
#include "station_fixture.h"
#include "support/run_process.h"

namespace facset {
namespace {

using testing::ConfigFor;
using testing::FactoryDatabase;
using testing::FillStation;
using testing::ProcessResult;
using testing::RunProcess;
using testing::TempDir;

const std::string kCli = FACSET_CLI_PATH;

// Two stations of 30 records each (records 1..30, one a second from
// 2026-12-01T00:00:01; every fifth failed, every third over a serial line),
// forwarded to one factory database.
class HistoryServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    db_ = new std::string(FactoryDatabase("history_server"));
    a_ = new TempDir;
    b_ = new TempDir;
    FillStation(a_->path(), "line-a", 30);
    FillStation(b_->path(), "line-b", 30);
    for (const TempDir* t : {a_, b_}) {
      const ForwardResult r = ForwardWaiting(t->path(), ConfigFor(*db_), PgLimits{});
      if (!r.ok()) throw std::runtime_error(r.error);
    }
  }
  static void TearDownTestSuite() {
    delete a_;
    delete b_;
    delete db_;
  }
  static ProcessResult Cli(const TempDir& station, std::vector<std::string> args) {
    return RunProcess(kCli, args, {"FACSET_HOME=" + station.path(), "FACSET_RECORDS_URL=" + *db_});
  }
  // The rows of a table, header dropped.
  static std::vector<std::string> Rows(const std::string& table) {
    std::vector<std::string> rows;
    std::size_t from = table.find('\n') + 1;
    for (std::size_t eol; (eol = table.find('\n', from)) != std::string::npos; from = eol + 1) {
      rows.push_back(table.substr(from, eol - from));
    }
    return rows;
  }
  static std::string* db_;
  static TempDir* a_;
  static TempDir* b_;
};
std::string* HistoryServer::db_ = nullptr;
TempDir* HistoryServer::a_ = nullptr;
TempDir* HistoryServer::b_ = nullptr;

TEST_F(HistoryServer, OneStationReadsAsItsOwnHistoryInEveryFormat) {
  // Every field round-trips and the order is the station's: the factory's
  // view of one station is byte for byte what the station prints.
  for (const std::vector<std::string>& format : {std::vector<std::string>{"--json"}, {"--csv"},
                                                 {"--json", "--failed", "--target", "COM1"},
                                                 {"--csv", "--since", "2026-12-01T00:00:20"}}) {
    std::vector<std::string> local = {"history"}, server = {"history", "--server", "--station", "line-a"};
    local.insert(local.end(), format.begin(), format.end());
    server.insert(server.end(), format.begin(), format.end());
    const ProcessResult mine = Cli(*a_, local);
    const ProcessResult factory = Cli(*b_, server);  // asked from the other station
    ASSERT_EQ(mine.status, 0) << mine.err;
    ASSERT_EQ(factory.status, 0) << factory.err;
    EXPECT_EQ(factory.out, mine.out) << format[0];
  }
  const ProcessResult mine = Cli(*a_, {"history", "--show", "7"});
  const ProcessResult factory = Cli(*b_, {"history", "--server", "--station", "line-a", "--show", "7"});
  ASSERT_EQ(factory.status, 0) << factory.err;
  EXPECT_EQ(factory.out, mine.out);
}

TEST_F(HistoryServer, FiltersAcrossStations) {
  struct Case {
    std::vector<std::string> filter;
    std::size_t rows;
    std::string everyRowHas;  // "" = no check
  } cases[] = {
      {{}, 60, ""},
      {{"--station", "line-b"}, 30, "line-b "},
      {{"--failed"}, 12, " failed "},
      {{"--target", "COM1"}, 20, " COM1 /dev/ttyUSB0 "},
      {{"--target", "/dev/ttyUSB0", "--station", "line-a", "--failed"}, 2, " failed "},
      {{"--target", "127.0.0.3"}, 8, " 127.0.0.3 "},
      {{"--since", "2026-12-01T00:00:26"}, 10, ""},
      {{"--station", "line-c"}, 0, ""},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"history", "--server"};
    args.insert(args.end(), c.filter.begin(), c.filter.end());
    const ProcessResult r = Cli(*a_, args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')).substr(0, 9), "STATION  ") << r.out;
    const auto rows = Rows(r.out);
    EXPECT_EQ(rows.size(), c.rows) << args.back() << "\n" << r.out;
    for (const std::string& row : rows) {
      if (!c.everyRowHas.empty()) {
        EXPECT_NE(row.find(c.everyRowHas), std::string::npos) << row;
      }
    }
    // Newest first.
    std::vector<std::string> starts;
    for (const std::string& row : rows) starts.push_back(row.substr(row.find("2026-12-"), 24));
    EXPECT_TRUE(std::is_sorted(starts.rbegin(), starts.rend())) << r.out;
  }
}

TEST_F(HistoryServer, RefusalsAndAServerThatIsNotThere) {
  struct Case {
    std::vector<std::string> args;
    std::string url;
    int status;
    std::string errorPart;
  } cases[] = {
      {{"history", "--station", "line-a"}, *db_, 2, "--station goes with --server"},
      {{"history", "--server", "--show", "3"}, *db_, 2, "needs --station"},
      {{"history", "--server"}, "", 1, "no factory database configured"},
      {{"history", "--server"}, "host=/nonexistent/facset dbname=x", 1, "factory database /nonexistent/facset/x: "},
      {{"history", "--server", "--station", "line-a", "--show", "99"}, *db_, 1, "no record 99 of station line-a"},
  };
  for (const Case& c : cases) {
    const ProcessResult r =
        RunProcess(kCli, c.args, {"FACSET_HOME=" + a_->path(), "FACSET_RECORDS_URL=" + c.url});
    EXPECT_EQ(r.status, c.status) << c.args.back() << ": " << r.err;
    EXPECT_NE(r.err.find(c.errorPart), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

}  // namespace
}  // namespace facset
