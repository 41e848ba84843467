// The station's named counters: atomic across processes, refusals that take
// nothing, and their place in the records database.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "records/counters.h"
#include "records/records.h"
#include "sample_record.h"
#include "support/temp_files.h"

namespace facset {
namespace {

TEST(StationCounters, ProcessesTakingAtOnceNeverGetOneValueTwice) {
  testing::TempDir dir;
  ASSERT_TRUE(StationCounters(dir.path())->Set("unit", 1));
  constexpr int kProcesses = 4, kTakes = 25;
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(fds[0]);
      auto store = StationCounters(dir.path());
      for (int k = 0; k < kTakes; ++k) {
        const std::int64_t count = 1 + (p + k) % 3;
        const CounterValue v = store->Take("unit", count, kCounterMax);
        if (!v) ::_exit(2);
        char line[64];
        const int n = std::snprintf(line, sizeof line, "%lld %lld\n", static_cast<long long>(*v.value),
                                    static_cast<long long>(count));
        if (::write(fds[1], line, static_cast<std::size_t>(n)) != n) ::_exit(3);
      }
      ::_exit(0);
    }
    children.push_back(pid);
  }
  ::close(fds[1]);
  std::string all;
  char buf[4096];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) all.append(buf, static_cast<std::size_t>(n));
  ::close(fds[0]);
  for (pid_t pid : children) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  std::vector<std::pair<long long, long long>> ranges;
  long long first = 0, count = 0;
  for (const char* p = all.c_str(); std::sscanf(p, "%lld %lld", &first, &count) == 2;) {
    ranges.emplace_back(first, count);
    p = std::strchr(p, '\n') + 1;
  }
  ASSERT_EQ(ranges.size(), std::size_t{kProcesses * kTakes});
  std::sort(ranges.begin(), ranges.end());
  long long next = 1;  // the ranges tile 1.. without a gap or an overlap
  for (const auto& [f, c] : ranges) {
    EXPECT_EQ(f, next);
    next = f + c;
  }
  EXPECT_EQ(*StationCounters(dir.path())->Next("unit").value, next);
}

TEST(StationCounters, RefusalsTakeNothing) {
  testing::TempDir dir;
  auto store = StationCounters(dir.path());
  const CounterValue missing = store->Take("scale", 1, 255);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error->code, CounterErrorCode::NoSuchCounter);
  EXPECT_NE(missing.error->reason.find("facset-cli counter scale --set VALUE"), std::string::npos);

  ASSERT_TRUE(store->Set("scale", 250));
  const CounterValue past = store->Take("scale", 7, 255);
  ASSERT_FALSE(past);
  EXPECT_EQ(past.error->code, CounterErrorCode::PastLimit);
  EXPECT_NE(past.error->reason.find("is at 250: 7 values would reach 256"), std::string::npos) << past.error->reason;
  EXPECT_EQ(*store->Next("scale").value, 250);

  const CounterValue six = store->Take("scale", 6, 255);
  ASSERT_TRUE(six);
  EXPECT_EQ(*six.value, 250);
  EXPECT_EQ(*store->Next("scale").value, 256);
  ASSERT_TRUE(store->Set("b", 3));
  const CounterList list = store->List();
  ASSERT_FALSE(list.error);
  ASSERT_EQ(list.counters.size(), 2u);
  EXPECT_EQ(list.counters[0].name, "b");
  EXPECT_EQ(list.counters[1].next, 256);
}

TEST(StationCounters, ShareTheRecordsDatabaseEitherWayRound) {
  {
    testing::TempDir dir;  // counters first: records are appended and read after
    ASSERT_TRUE(StationCounters(dir.path())->Set("scale", 1));
    ASSERT_TRUE(AppendRecord(dir.path(), testing::SampleRecord("2026-12-10T04:01:26.123Z", "127.0.0.2", "ok")));
    EXPECT_EQ(ReadRecords(dir.path()).records.size(), 1u);
    EXPECT_EQ(*StationCounters(dir.path())->Next("scale").value, 1);
  }
  {
    testing::TempDir dir;  // records first
    ASSERT_TRUE(AppendRecord(dir.path(), testing::SampleRecord("2026-12-10T04:01:26.123Z", "127.0.0.2", "ok")));
    ASSERT_TRUE(StationCounters(dir.path())->Set("scale", 9));
    ASSERT_TRUE(AppendRecord(dir.path(), testing::SampleRecord("2026-12-10T04:01:26.123Z", "127.0.0.2", "ok")));
    EXPECT_EQ(ReadRecords(dir.path()).records.size(), 2u);
  }
  {
    testing::TempDir dir;  // a link planted in the database's place is never written through
    const std::string elsewhere = dir / "elsewhere";
    std::filesystem::create_symlink(elsewhere, RecordsPath(dir.path()));
    const CounterValue v = StationCounters(dir.path())->Set("scale", 1);
    ASSERT_FALSE(v);
    EXPECT_EQ(v.error->code, CounterErrorCode::Unavailable);
    EXPECT_FALSE(std::filesystem::exists(elsewhere));
  }
}

}  // namespace
}  // namespace facset
