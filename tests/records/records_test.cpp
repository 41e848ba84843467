#include "records/records.h"
#include "records/json_text.h"
#include "download/sha256.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>
#include <thread>

#include "sample_record.h"
#include "support/run_process.h"
#include "support/temp_files.h"

using namespace facset;
using facset::testing::FileSizeLimit;
using facset::testing::ProcessResult;
using facset::testing::ReadFileBytes;
using facset::testing::RunProcess;
using facset::testing::SampleRecord;
using facset::testing::TempDir;
using facset::testing::WriteFileBytes;

namespace {

// Runs one statement on the database file behind the library's back.
void ExecSql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* err = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
  const std::string msg = err ? err : "";
  sqlite3_free(err);
  sqlite3_close(db);
  ASSERT_EQ(rc, SQLITE_OK) << msg;
}

int UserVersion(const std::string& path) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* s = nullptr;
  int v = -1;
  if (sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW) {
    v = sqlite3_column_int(s, 0);
  }
  sqlite3_finalize(s);
  sqlite3_close(db);
  return v;
}

}  // namespace

TEST(Records, AppendThenReadBackEveryField) {
  TempDir dir;
  DownloadRecord full = SampleRecord("2026-12-10T04:00:00.000Z", "127.0.0.2", "failed");
  DownloadRecord bare;  // nothing optional: no block, no firmware, no exit code
  bare.startUtc = "2026-12-10T05:00:00.000Z";
  bare.target = "COM1 /dev/ttyUSB0";
  bare.transport = "serial";
  bare.blockOutcome = StepOutcome::NotRun;

  const AppendResult a = AppendRecord(dir.path(), full);
  const AppendResult b = AppendRecord(dir.path() + "/", bare);
  ASSERT_TRUE(a) << a.error->reason;
  ASSERT_TRUE(b) << b.error->reason;
  EXPECT_NE(a.id, b.id);

  const ReadResult all = ReadRecords(dir.path());
  ASSERT_TRUE(all);
  ASSERT_EQ(all.records.size(), 2u);
  full.id = a.id;
  bare.id = b.id;
  // A record keeps the uid it came with; one without gets a fresh one.
  EXPECT_EQ(a.uid, full.uid);
  EXPECT_EQ(b.uid.size(), 36u) << b.uid;
  EXPECT_NE(b.uid, a.uid);
  bare.uid = b.uid;
  EXPECT_EQ(all.records[0], bare);  // newest first
  EXPECT_EQ(all.records[1], full);

  const ReadResult one = ReadRecord(dir.path(), a.id);
  ASSERT_TRUE(one);
  EXPECT_EQ(one.records.at(0), full);

  const std::string db = dir / std::string(kRecordsFileName);
  EXPECT_EQ(UserVersion(db), kRecordsSchemaVersion);
  EXPECT_TRUE(facset::testing::FileExists(db + "-wal") || ReadFileBytes(db).size() > 0);
}

TEST(Records, FiltersAndOrder) {
  TempDir dir;
  // Appended out of start order: history sorts by the start, not by the append.
  const std::vector<DownloadRecord> rows = {
      SampleRecord("2026-12-09T23:59:59.999Z", "127.0.0.2", "ok"),
      SampleRecord("2026-12-10T08:00:00.000Z", "127.0.0.3", "failed"),
      SampleRecord("2026-12-10T00:00:00.000Z", "127.0.0.2", "aborted"),
      SampleRecord("2026-12-10T09:30:00.000Z", "127.0.0.2", "ok"),
      SampleRecord("2026-12-10T09:40:00.000Z", "COM1 /dev/ttyUSB0", "ok"),
  };
  std::vector<std::int64_t> ids;
  for (const auto& r : rows) ids.push_back(AppendRecord(dir.path(), r).id);

  struct Case {
    const char* name;
    RecordFilter filter;
    std::vector<int> expected;  // indexes into rows, newest first
  };
  const Case cases[] = {
      {"all", {}, {4, 3, 1, 2, 0}},
      {"since midnight", {"2026-12-10T00:00:00", "", false}, {4, 3, 1, 2}},
      {"since 08:00 exactly", {"2026-12-10T08:00:00", "", false}, {4, 3, 1}},
      {"target", {"", "127.0.0.2", false}, {3, 2, 0}},
      {"no partial address", {"", "127.0.0", false}, {}},
      {"serial by list name", {"", "COM1", false}, {4}},
      {"serial by device", {"", "/dev/ttyUSB0", false}, {4}},
      {"serial whole", {"", "COM1 /dev/ttyUSB0", false}, {4}},
      {"no partial word", {"", "/dev/tty", false}, {}},
      {"failed: anything but ok", {"", "", true}, {1, 2}},
      {"all three", {"2026-12-10", "127.0.0.2", true}, {2}},
  };
  for (const Case& c : cases) {
    RecordFilter f = c.filter;
    if (!f.sinceUtc.empty()) f.sinceUtc = ParseSinceDate(f.sinceUtc).value();
    const ReadResult r = ReadRecords(dir.path(), f);
    ASSERT_TRUE(r) << c.name;
    std::vector<std::int64_t> got, want;
    for (const auto& rec : r.records) got.push_back(rec.id);
    for (int i : c.expected) want.push_back(ids[static_cast<std::size_t>(i)]);
    EXPECT_EQ(got, want) << c.name;
  }
}

TEST(Records, SinceDateForms) {
  const std::pair<const char*, const char*> good[] = {
      {"2026-12-10", "2026-12-10T00:00:00"},
      {"2026-12-10T08:30", "2026-12-10T08:30:00"},
      {"2026-12-10 08:30:15", "2026-12-10T08:30:15"},
      {"2026-12-10T08:30:15Z", "2026-12-10T08:30:15"},
      {"2024-02-29", "2024-02-29T00:00:00"},
  };
  for (auto [in, out] : good) EXPECT_EQ(ParseSinceDate(in).value_or("none"), out) << in;
  for (const char* bad : {"", "2026-12", "2026-13-01", "2026-02-29", "2026-12-32", "2026-12-10T24:00",
                          "2026-12-10T08:60", "2026/12/10", "2026-12-10T08:30:15+01:00", "yesterday",
                          "-026-12-10"}) {
    EXPECT_FALSE(ParseSinceDate(bad)) << bad;
  }
}

TEST(Records, MissingDatabaseReadsEmptyAndIsNotCreated) {
  TempDir dir;
  const ReadResult r = ReadRecords(dir.path());
  EXPECT_TRUE(r);
  EXPECT_TRUE(r.records.empty());
  const ReadResult one = ReadRecord(dir.path(), 1);
  ASSERT_TRUE(one.error);
  EXPECT_EQ(one.error->code, RecordsErrorCode::NotFound);
  EXPECT_FALSE(facset::testing::FileExists(dir / std::string(kRecordsFileName)));
}

// A file from before the schema had a version (user_version 0, other tables
// of its own) is migrated in place on the first append and keeps its tables.
TEST(Records, MigratesAnUnversionedDatabase) {
  TempDir dir;
  const std::string db = dir / std::string(kRecordsFileName);
  ExecSql(db, "CREATE TABLE notes(text TEXT); INSERT INTO notes VALUES('kept');");
  ASSERT_EQ(UserVersion(db), 0);
  EXPECT_TRUE(ReadRecords(dir.path()).records.empty());

  ASSERT_TRUE(AppendRecord(dir.path(), SampleRecord("2026-12-10T04:00:00.000Z", "127.0.0.2", "ok")));
  EXPECT_EQ(UserVersion(db), kRecordsSchemaVersion);
  EXPECT_EQ(ReadRecords(dir.path()).records.size(), 1u);
  ExecSql(db, "SELECT text FROM notes");  // still there
}

// Records kept before the outcomes had one vocabulary ("not run", "block
// failed") read as the same outcomes, and are written back in today's words.
TEST(Records, EarlierOutcomeWordsStillRead) {
  TempDir dir;
  ASSERT_TRUE(AppendRecord(dir.path(), SampleRecord("2026-12-10T04:00:00.000Z", "127.0.0.2", "failed")));
  const std::string db = dir / std::string(kRecordsFileName);
  ExecSql(db,
          "UPDATE downloads SET connect_outcome='ok', block_outcome='not run', firmware_outcome='entry failed',"
          " outcome='failed'");
  ExecSql(db, "INSERT INTO downloads SELECT NULL, started_utc, ended_utc, station, operator, program, version,"
              " transport, target, param_file, block, block_sha256, firmware_path, firmware_size, firmware_sha256,"
              " blocks_sent, blocks_to_send, 'aborted', 'not run', 'not asked', 'aborted', exit_code, error, log,"
              " values_set, lower(hex(randomblob(16))) FROM downloads");
  const ReadResult r = ReadRecords(dir.path());
  ASSERT_TRUE(r);
  ASSERT_EQ(r.records.size(), 2u);
  EXPECT_EQ(r.records[1].connectOutcome, StepOutcome::Ok);
  EXPECT_EQ(r.records[1].blockOutcome, StepOutcome::NotRun);
  EXPECT_EQ(r.records[1].firmwareOutcome, StepOutcome::EntryFailed);
  EXPECT_EQ(r.records[1].outcome, RunOutcome::Failed);
  EXPECT_EQ(r.records[0].connectOutcome, StepOutcome::Aborted);
  EXPECT_EQ(r.records[0].firmwareOutcome, StepOutcome::NotAsked);
  EXPECT_EQ(r.records[0].outcome, RunOutcome::Aborted);
}

// A newer program's database is neither written nor misread.
TEST(Records, NewerSchemaIsLeftAlone) {
  TempDir dir;
  const std::string db = dir / std::string(kRecordsFileName);
  ASSERT_TRUE(AppendRecord(dir.path(), SampleRecord("2026-12-10T04:00:00.000Z", "127.0.0.2", "ok")));
  ExecSql(db, "PRAGMA user_version=" + std::to_string(kRecordsSchemaVersion + 1));

  const AppendResult a = AppendRecord(dir.path(), SampleRecord("2026-12-10T05:00:00.000Z", "127.0.0.2", "ok"));
  ASSERT_TRUE(a.error);
  EXPECT_EQ(a.error->code, RecordsErrorCode::NewerSchema);
  EXPECT_NE(RecordNotKeptLine(*a.error).find("newer program"), std::string::npos);
  const ReadResult r = ReadRecords(dir.path());
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->code, RecordsErrorCode::NewerSchema);

  ExecSql(db, "PRAGMA user_version=" + std::to_string(kRecordsSchemaVersion));
  EXPECT_EQ(ReadRecords(dir.path()).records.size(), 1u);
}

// Places where the database cannot be written: a typed error, no exception,
// and whatever was there before is unharmed.
TEST(Records, UnwritablePlacesGiveTypedErrors) {
  TempDir dir;
  const DownloadRecord rec = SampleRecord("2026-12-10T04:00:00.000Z", "127.0.0.2", "ok");

  const AppendResult missing = AppendRecord(dir / "no-such-folder", rec);
  ASSERT_TRUE(missing.error);
  EXPECT_EQ(missing.error->code, RecordsErrorCode::CannotOpen);
  EXPECT_EQ(RecordNotKeptLine(*missing.error).rfind("record not kept: ", 0), 0u);

  WriteFileBytes(dir / "plain-file", "x");
  const AppendResult notFolder = AppendRecord(dir / "plain-file", rec);
  ASSERT_TRUE(notFolder.error);
  EXPECT_EQ(notFolder.error->code, RecordsErrorCode::CannotOpen);

  // Something else under our name: never overwritten.
  const std::string garbage(4096, 'G');
  const std::string notDb = dir / "other";
  ::mkdir(notDb.c_str(), 0700);
  WriteFileBytes(notDb + "/" + std::string(kRecordsFileName), garbage);
  const AppendResult bad = AppendRecord(notDb, rec);
  ASSERT_TRUE(bad.error);
  EXPECT_EQ(bad.error->code, RecordsErrorCode::CannotOpen) << bad.error->reason;
  EXPECT_EQ(ReadFileBytes(notDb + "/" + std::string(kRecordsFileName)), garbage);
  EXPECT_TRUE(ReadRecords(notDb).error);
}

// A full disk (a file size limit, which also binds root): the append fails
// and the records already kept stay readable.
TEST(Records, FailedWriteKeepsEarlierRecords) {
  TempDir dir;
  const DownloadRecord rec = SampleRecord("2026-12-10T04:00:00.000Z", "127.0.0.2", "ok");
  ASSERT_TRUE(AppendRecord(dir.path(), rec));
  AppendResult a;
  {
    FileSizeLimit limit(1);
    for (int i = 0; i < 50 && !a.error; ++i) a = AppendRecord(dir.path(), rec);
  }
  ASSERT_TRUE(a.error);
  EXPECT_FALSE(a.error->reason.empty());
  const ReadResult r = ReadRecords(dir.path());
  ASSERT_TRUE(r) << r.error->reason;
  EXPECT_GE(r.records.size(), 1u);
  EXPECT_TRUE(AppendRecord(dir.path(), rec));
}

// The read-only program folder of an installed tool, or a database another
// account owns: an ordinary user gets ReadOnly or CannotOpen, never a crash.
// Run as that user through the appender (as root via setpriv).
TEST(Records, ReadOnlyDatabaseForAnOrdinaryUser) {
  TempDir dir;
  ::chmod(dir.path().c_str(), 0755);
  const std::string ro = dir / "ro-folder", roFile = dir / "ro-file";
  ::mkdir(ro.c_str(), 0755);
  ::mkdir(roFile.c_str(), 0777);
  ASSERT_TRUE(AppendRecord(ro, SampleRecord("2026-12-10T04:00:00.000Z", "127.0.0.2", "ok")));
  ASSERT_TRUE(AppendRecord(roFile, SampleRecord("2026-12-10T04:00:00.000Z", "127.0.0.2", "ok")));
  const std::string roDb = ro + "/" + std::string(kRecordsFileName);
  const std::string roFileDb = roFile + "/" + std::string(kRecordsFileName);
  ::chmod(roFileDb.c_str(), 0444);
  for (const std::string& f : {roDb, roDb + "-wal", roDb + "-shm", roFileDb + "-wal", roFileDb + "-shm"}) {
    ::chmod(f.c_str(), 0644);
  }
  ::chmod(ro.c_str(), 0555);
  const std::string before = ReadFileBytes(roDb);

  for (const std::string& folder : {ro, roFile}) {
    std::vector<std::string> args = {FACSET_APPENDER_PATH, folder, "1", "ro"};
    std::string program = FACSET_APPENDER_PATH;
    if (::geteuid() == 0) {
      args.insert(args.begin(), {"--reuid=nobody", "--regid=nogroup", "--clear-groups"});
      program = "/usr/bin/setpriv";
    } else {
      args.erase(args.begin());
    }
    const ProcessResult p = RunProcess(program, args);
    EXPECT_EQ(p.status, 3) << folder << ": " << p.err;
    // Code 1 is ReadOnly, 0 CannotOpen: which one depends on which file SQLite meets first.
    EXPECT_TRUE(p.err.rfind("error 1 ", 0) == 0 || p.err.rfind("error 0 ", 0) == 0) << p.err;
  }
  EXPECT_EQ(ReadFileBytes(roDb), before);
  EXPECT_EQ(ReadRecords(ro).records.size(), 1u);
  EXPECT_EQ(ReadRecords(roFile).records.size(), 1u);
}

// Several download processes ending at once, starting on a database that does
// not exist yet: every record is kept, each once.
TEST(Records, ConcurrentProcessesLoseNothing) {
  TempDir dir;
  constexpr int kProcesses = 3, kEach = 150;
  std::vector<ProcessResult> results(kProcesses);
  std::vector<std::thread> threads;
  for (int p = 0; p < kProcesses; ++p) {
    threads.emplace_back([&, p] {
      results[static_cast<std::size_t>(p)] =
          RunProcess(FACSET_APPENDER_PATH, {dir.path(), std::to_string(kEach), "p" + std::to_string(p)});
    });
  }
  for (auto& t : threads) t.join();
  for (const auto& r : results) ASSERT_EQ(r.status, 0) << r.err;

  const ReadResult all = ReadRecords(dir.path());
  ASSERT_TRUE(all);
  ASSERT_EQ(all.records.size(), std::size_t{kProcesses * kEach});
  std::map<std::string, std::set<std::string>> lines;
  std::set<std::int64_t> ids;
  for (const auto& r : all.records) {
    ids.insert(r.id);
    lines[r.target].insert(r.log.at(0));
  }
  EXPECT_EQ(ids.size(), std::size_t{kProcesses * kEach});
  for (int p = 0; p < kProcesses; ++p) EXPECT_EQ(lines["p" + std::to_string(p)].size(), std::size_t{kEach});
}

// A writer that holds the database for a moment delays an append; it does not lose it.
TEST(Records, AppendWaitsForAnotherWriter) {
  TempDir dir;
  const DownloadRecord rec = SampleRecord("2026-12-10T04:00:00.000Z", "127.0.0.2", "ok");
  ASSERT_TRUE(AppendRecord(dir.path(), rec));
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir / std::string(kRecordsFileName)).c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  AppendResult a;
  std::thread appender([&] { a = AppendRecord(dir.path(), rec); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  appender.join();
  sqlite3_close(db);
  EXPECT_TRUE(a) << a.error->reason;
  EXPECT_EQ(ReadRecords(dir.path()).records.size(), 2u);
}

// Appends check the WAL back into the database now and then, so that it does
// not grow with the records (each opener reads all of it).
TEST(Records, WalStaysSmall) {
  TempDir dir;
  const DownloadRecord rec = SampleRecord("2026-12-10T04:00:00.000Z", "127.0.0.2", "ok");
  for (int i = 0; i < 400; ++i) ASSERT_TRUE(AppendRecord(dir.path(), rec));  // about 5 MiB of pages
  const std::string wal = dir / (std::string(kRecordsFileName) + "-wal");
  EXPECT_LT(ReadFileBytes(wal).size(), 2u << 20);
  EXPECT_EQ(ReadRecords(dir.path()).records.size(), 400u);
}

TEST(Records, DigestsAndClock) {
  EXPECT_EQ(Sha256Hex("abc", 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256Hex("", 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

  const std::string now = UtcNowIso();
  ASSERT_EQ(now.size(), 24u) << now;
  EXPECT_EQ(now.back(), 'Z');
  EXPECT_EQ(ParseSinceDate(now.substr(0, 19)).value_or(""), now.substr(0, 19));
}


// The log column: what we write reads back byte for byte, and a column some
// other tool wrote as JSON reads as JSON means it.
TEST(RecordsJson, LogColumnRoundTrip) {
  const std::vector<std::vector<std::string>> logs = {
      {}, {""}, {"a\"b\\c", "\r\n\r\nLast Update Time:", "更新完成 \x01\x1f", "tab\there/"}};
  for (const auto& log : logs) EXPECT_EQ(ParseJsonStringArray(JsonStringArray(log)), log);
  EXPECT_EQ(JsonStringArray({"bad\xFF", "\xE6\x9B"}), "[\"bad\xEF\xBF\xBD\",\"\xEF\xBF\xBD\xEF\xBF\xBD\"]");

  const std::pair<const char*, std::vector<std::string>> foreign[] = {
      {" [ \"x\" , \"\\u00e9\\ud83d\\ude00\\/\" ] ", {"x", "é😀/"}},
      {"[\"\\ud83d\"]", {"\xEF\xBF\xBD"}},  // a lone surrogate
  };
  for (const auto& [json, want] : foreign) EXPECT_EQ(ParseJsonStringArray(json), want) << json;
  for (const char* bad : {"", "[", "[\"a\"", "[\"a\",]", "[1]", "{}", "[\"a\"] x", "[\"\\u12\"]"}) {
    EXPECT_TRUE(ParseJsonStringArray(bad).empty()) << bad;
  }
}
