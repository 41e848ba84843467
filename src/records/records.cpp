#include "records/records.h"

#include "platform/paths.h"
#include "platform/safe_files.h"
#include "records/json_text.h"

#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QCryptographicHash>
#include <QFile>
#include <QString>
#include <QUuid>
#include <array>
#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>

namespace facset {
namespace {

// Long enough to outlast any other station process's append (a few ms each),
// short enough that a stuck writer cannot hold a download's end for long.
constexpr int kBusyTimeoutMs = 5000;

// Each step takes the schema from version `to - 1` to `to`, inside the
// append's write transaction, so concurrent first appends migrate once.
// Records are never deleted, so a plain rowid id never repeats; every other
// index would be one more page written by each append.
class Db;
struct Migration {
  int to;
  const char* sql;
  // What SQL alone cannot do, after `sql`; an SQLite result code.
  int (*then)(Db&) = nullptr;
};
int GiveUids(Db& db);
constexpr std::array kMigrations = {
    Migration{1,
              "CREATE TABLE downloads("
              " id INTEGER PRIMARY KEY,"
              " started_utc TEXT NOT NULL, ended_utc TEXT NOT NULL,"
              " station TEXT NOT NULL, operator TEXT NOT NULL,"
              " program TEXT NOT NULL, version TEXT NOT NULL,"
              " transport TEXT NOT NULL, target TEXT NOT NULL, param_file TEXT NOT NULL,"
              " block BLOB, block_sha256 TEXT NOT NULL,"
              " firmware_path TEXT NOT NULL, firmware_size INTEGER, firmware_sha256 TEXT NOT NULL,"
              " blocks_sent INTEGER, blocks_to_send INTEGER,"
              " connect_outcome TEXT NOT NULL, block_outcome TEXT NOT NULL,"
              " firmware_outcome TEXT NOT NULL, outcome TEXT NOT NULL,"
              " exit_code INTEGER, error TEXT NOT NULL, log TEXT NOT NULL);"
              "CREATE INDEX downloads_started ON downloads(started_utc);"},
    // Forwarding to the factory database: every record gets its uid, and
    // every record is waiting until the factory database has it (the records
    // of the years before the factory database count too).
    Migration{2,
              "ALTER TABLE downloads ADD COLUMN uid TEXT NOT NULL DEFAULT '';"
              "CREATE TABLE forward_waiting(id INTEGER PRIMARY KEY);"
              "INSERT INTO forward_waiting(id) SELECT id FROM downloads;"
              "CREATE TABLE forward_state(key TEXT PRIMARY KEY, value TEXT NOT NULL);",
              GiveUids},
};
static_assert(kMigrations.back().to == kRecordsSchemaVersion);

constexpr const char* kColumns =
    "id, started_utc, ended_utc, station, operator, program, version, transport, target, param_file,"
    " block, block_sha256, firmware_path, firmware_size, firmware_sha256, blocks_sent, blocks_to_send,"
    " connect_outcome, block_outcome, firmware_outcome, outcome, exit_code, error, log, uid";
// A file not yet migrated (only read) has no uid column.
std::string ColumnsOf(int version) {
  std::string c = kColumns;
  if (version < 2) c.replace(c.size() - 3, 3, "''");
  return c;
}

// `refused`: why the file was not opened at all (a link or FIFO in its place).
RecordsError ErrorOf(sqlite3* db, int rc, std::string_view what, std::string_view refused = {}) {
  RecordsError e;
  switch (rc & 0xFF) {
    case SQLITE_CANTOPEN:
    case SQLITE_NOTADB:
    case SQLITE_PERM:
    case SQLITE_AUTH: e.code = RecordsErrorCode::CannotOpen; break;
    case SQLITE_READONLY: e.code = RecordsErrorCode::ReadOnly; break;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: e.code = RecordsErrorCode::Busy; break;
    default: e.code = RecordsErrorCode::Failed; break;
  }
  e.reason = std::string(what) + ": " + (!refused.empty() ? std::string(refused) : db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
  if (db) {
    if (const int sys = sqlite3_system_errno(db); sys != 0) e.reason += std::string(" (") + std::strerror(sys) + ")";
  }
  return e;
}

// Closes whatever it holds, statements first.
class Db {
 public:
  ~Db() {
    for (sqlite3_stmt* s : stmts_) sqlite3_finalize(s);
    if (db_) sqlite3_close_v2(db_);
  }
  int Open(const std::string& path, int flags) {
    // A link, FIFO or device in place of the database or a file SQLite keeps
    // beside it is never opened: it could be written through or hang a read.
    for (const char* companion : {"", "-wal", "-shm", "-journal"}) {
      if (std::string why = CheckRegularOrAbsent(path + companion); !why.empty()) {
        refused_ = *companion ? path + companion + " is " + why : why;
        return SQLITE_CANTOPEN;
      }
    }
    const int rc = sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW, nullptr);
    if (rc == SQLITE_OK) sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    return rc;
  }
  sqlite3* get() const { return db_; }
  const std::string& refused() const { return refused_; }
  int Exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); }
  int Prepare(const std::string& sql, sqlite3_stmt*& out) {
    out = nullptr;
    const int rc = sqlite3_prepare_v2(db_, sql.c_str(), -1, &out, nullptr);
    if (out) stmts_.push_back(out);
    return rc;
  }
  // PRAGMA user_version; -1 on error (rc in `rc`).
  int UserVersion(int& rc) {
    sqlite3_stmt* s = nullptr;
    rc = Prepare("PRAGMA user_version", s);
    if (rc != SQLITE_OK) return -1;
    rc = sqlite3_step(s);
    if (rc != SQLITE_ROW) return -1;
    rc = SQLITE_OK;
    const int v = sqlite3_column_int(s, 0);
    // A statement left on its row holds a read transaction past the commit,
    // which would stop every checkpoint.
    sqlite3_reset(s);
    return v;
  }

 private:
  sqlite3* db_ = nullptr;
  std::string refused_;
  std::vector<sqlite3_stmt*> stmts_;
};

// Switching to WAL takes a lock the busy handler does not always wait for:
// retry until the busy timeout has passed.
int EnableWal(Db& db) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
  for (;;) {
    const int rc = db.Exec("PRAGMA journal_mode=WAL");
    if ((rc & 0xFF) != SQLITE_BUSY && (rc & 0xFF) != SQLITE_LOCKED) return rc;
    if (std::chrono::steady_clock::now() >= deadline) return rc;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// Each download process appends once and exits, so an append costs a whole
// open-write-close. Closing does not checkpoint (and fsync, tens of ms on a
// station's disk); instead the WAL is checkpointed and truncated once it holds
// kCheckpointPages pages, so that it stays small for the next opener, which
// must read it all. synchronous=NORMAL keeps the file consistent through a
// power cut; what a cut can lose is the last records the system had not yet
// written back.
constexpr int kCheckpointPages = 200;

int Tune(Db& db) {
  sqlite3_db_config(db.get(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  return db.Exec("PRAGMA synchronous=NORMAL; PRAGMA wal_autocheckpoint=0");
}

// Pages in the WAL after the last commit, as SQLite reports it.
int OnWalCommit(void* pages, sqlite3*, const char*, int n) {
  *static_cast<int*>(pages) = n;
  return SQLITE_OK;
}

void BindText(sqlite3_stmt* s, int i, const std::string& v) {
  sqlite3_bind_text(s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
}
template <typename T>
void BindOptional(sqlite3_stmt* s, int i, const std::optional<T>& v) {
  if (v) {
    sqlite3_bind_int64(s, i, static_cast<sqlite3_int64>(*v));
  } else {
    sqlite3_bind_null(s, i);
  }
}

std::string ColumnText(sqlite3_stmt* s, int i) {
  const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s, i));
  return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(s, i))) : std::string();
}
std::optional<std::int64_t> ColumnOptional(sqlite3_stmt* s, int i) {
  if (sqlite3_column_type(s, i) == SQLITE_NULL) return std::nullopt;
  return sqlite3_column_int64(s, i);
}

DownloadRecord RowToRecord(sqlite3_stmt* s) {
  DownloadRecord r;
  int i = 0;
  r.id = sqlite3_column_int64(s, i++);
  r.startUtc = ColumnText(s, i++);
  r.endUtc = ColumnText(s, i++);
  r.station = ColumnText(s, i++);
  r.operatorName = ColumnText(s, i++);
  r.program = ColumnText(s, i++);
  r.version = ColumnText(s, i++);
  r.transport = ColumnText(s, i++);
  r.target = ColumnText(s, i++);
  r.paramFile = ColumnText(s, i++);
  if (sqlite3_column_type(s, i) == SQLITE_BLOB && sqlite3_column_bytes(s, i) == 256) {
    ParamBlock b;
    std::memcpy(b.data(), sqlite3_column_blob(s, i), b.size());
    r.block = b;
  }
  ++i;
  r.blockSha256 = ColumnText(s, i++);
  r.firmwarePath = ColumnText(s, i++);
  r.firmwareSize = ColumnOptional(s, i++);
  r.firmwareSha256 = ColumnText(s, i++);
  r.blocksSent = ColumnOptional(s, i++);
  r.blocksToSend = ColumnOptional(s, i++);
  r.connectOutcome = ColumnText(s, i++);
  r.blockOutcome = ColumnText(s, i++);
  r.firmwareOutcome = ColumnText(s, i++);
  r.outcome = ColumnText(s, i++);
  if (auto code = ColumnOptional(s, i++)) r.exitCode = static_cast<int>(*code);
  r.error = ColumnText(s, i++);
  r.log = ParseJsonStringArray(ColumnText(s, i++));
  r.uid = ColumnText(s, i);
  return r;
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// Opens the database for reading: false with `error` unset when there is
// nothing to read yet (no file, or no table).
bool OpenForReading(const std::string& folder, Db& db, std::optional<RecordsError>& error, int* versionOut = nullptr) {
  const std::string path = RecordsPath(folder);
  if (!FileExists(path)) return false;
  if (const int rc = db.Open(path, SQLITE_OPEN_READONLY); rc != SQLITE_OK) {
    error = ErrorOf(db.get(), rc, "cannot open " + path, db.refused());
    return false;
  }
  int rc = SQLITE_OK;
  const int version = db.UserVersion(rc);
  if (rc != SQLITE_OK) {
    error = ErrorOf(db.get(), rc, "cannot read " + path);
    return false;
  }
  if (version > kRecordsSchemaVersion) {
    error = RecordsError{RecordsErrorCode::NewerSchema,
                         path + " was written by a newer program (schema " + std::to_string(version) + ")"};
    return false;
  }
  if (versionOut) *versionOut = version;
  return version >= 1;
}

bool IsDigits(std::string_view s) {
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

std::string RecordNotKeptLine(const RecordsError& e) { return std::string(kMsgRecordNotKept) + e.reason; }

std::string DefaultRecordsFolder() { return FilesDir(); }

std::string RecordsPath(const std::string& folder) {
  std::string p = folder.empty() ? std::string("./") : folder;
  if (p.back() != '/') p.push_back('/');
  return p + std::string(kRecordsFileName);
}

namespace {

int GiveUids(Db& db) {
  sqlite3_stmt* pick = nullptr;
  sqlite3_stmt* give = nullptr;
  int rc = db.Prepare("SELECT id FROM downloads WHERE uid = ''", pick);
  if (rc == SQLITE_OK) rc = db.Prepare("UPDATE downloads SET uid = ?1 WHERE id = ?2", give);
  if (rc != SQLITE_OK) return rc;
  std::vector<sqlite3_int64> ids;
  while ((rc = sqlite3_step(pick)) == SQLITE_ROW) ids.push_back(sqlite3_column_int64(pick, 0));
  sqlite3_reset(pick);
  if (rc != SQLITE_DONE) return rc;
  for (const sqlite3_int64 id : ids) {
    BindText(give, 1, NewRecordUid());
    sqlite3_bind_int64(give, 2, id);
    if ((rc = sqlite3_step(give)) != SQLITE_DONE) return rc;
    sqlite3_reset(give);
  }
  return SQLITE_OK;
}

// Opens the database for a write and begins it: created or migrated first,
// the write transaction left open for the caller to fill and commit. On
// failure `error` is set and nothing is left open.
bool OpenForWriting(const std::string& folder, Db& db, std::optional<RecordsError>& error, int* walPages = nullptr) {
  const std::string path = RecordsPath(folder);
  int rc = db.Open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  auto fail = [&](std::string_view what) {
    error = ErrorOf(db.get(), rc, std::string(what) + " " + path, db.refused());
    if (db.get()) db.Exec("ROLLBACK");
    return false;
  };
  if (rc != SQLITE_OK) return fail("cannot open");
  if ((rc = EnableWal(db)) != SQLITE_OK) return fail("cannot write");
  if ((rc = Tune(db)) != SQLITE_OK) return fail("cannot write");
  if (walPages) sqlite3_wal_hook(db.get(), OnWalCommit, walPages);
  if ((rc = db.Exec("BEGIN IMMEDIATE")) != SQLITE_OK) return fail("cannot write");

  int version = db.UserVersion(rc);
  if (rc != SQLITE_OK) return fail("cannot read");
  if (version > kRecordsSchemaVersion) {
    db.Exec("ROLLBACK");
    error = RecordsError{RecordsErrorCode::NewerSchema,
                         path + " was written by a newer program (schema " + std::to_string(version) + ")"};
    return false;
  }
  const int found = version;
  for (const Migration& m : kMigrations) {
    if (m.to <= version) continue;
    if ((rc = db.Exec(m.sql)) != SQLITE_OK) return fail("cannot migrate");
    if (m.then && (rc = m.then(db)) != SQLITE_OK) return fail("cannot migrate");
    version = m.to;
  }
  if (version != found && (rc = db.Exec(("PRAGMA user_version=" + std::to_string(version)).c_str())) != SQLITE_OK) {
    return fail("cannot migrate");
  }
  return true;
}

AppendResult AppendUnguarded(const std::string& folder, const DownloadRecord& r) {
  AppendResult out;
  const std::string path = RecordsPath(folder);
  Db db;
  int walPages = 0;
  if (!OpenForWriting(folder, db, out.error, &walPages)) return out;
  int rc = SQLITE_OK;
  auto fail = [&](std::string_view what) {
    out.error = ErrorOf(db.get(), rc, std::string(what) + " " + path);
    db.Exec("ROLLBACK");
    return out;
  };

  sqlite3_stmt* s = nullptr;
  rc = db.Prepare(
      "INSERT INTO downloads(started_utc, ended_utc, station, operator, program, version, transport, target,"
      " param_file, block, block_sha256, firmware_path, firmware_size, firmware_sha256, blocks_sent,"
      " blocks_to_send, connect_outcome, block_outcome, firmware_outcome, outcome, exit_code, error, log, uid)"
      " VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
      s);
  if (rc != SQLITE_OK) return fail("cannot write");
  int i = 1;
  BindText(s, i++, r.startUtc);
  BindText(s, i++, r.endUtc);
  BindText(s, i++, r.station);
  BindText(s, i++, r.operatorName);
  BindText(s, i++, r.program);
  BindText(s, i++, r.version);
  BindText(s, i++, r.transport);
  BindText(s, i++, r.target);
  BindText(s, i++, r.paramFile);
  if (r.block) {
    sqlite3_bind_blob(s, i++, r.block->data(), static_cast<int>(r.block->size()), SQLITE_TRANSIENT);
  } else {
    sqlite3_bind_null(s, i++);
  }
  BindText(s, i++, r.blockSha256);
  BindText(s, i++, r.firmwarePath);
  BindOptional(s, i++, r.firmwareSize);
  BindText(s, i++, r.firmwareSha256);
  BindOptional(s, i++, r.blocksSent);
  BindOptional(s, i++, r.blocksToSend);
  BindText(s, i++, r.connectOutcome);
  BindText(s, i++, r.blockOutcome);
  BindText(s, i++, r.firmwareOutcome);
  BindText(s, i++, r.outcome);
  BindOptional(s, i++, r.exitCode);
  BindText(s, i++, r.error);
  BindText(s, i++, JsonStringArray(r.log));
  out.uid = r.uid.empty() ? NewRecordUid() : r.uid;
  BindText(s, i++, out.uid);
  if ((rc = sqlite3_step(s)) != SQLITE_DONE) return fail("cannot write");
  out.id = sqlite3_last_insert_rowid(db.get());
  sqlite3_reset(s);
  // Waiting for the factory database from the start, whether one is
  // configured yet or not.
  sqlite3_stmt* queue = nullptr;
  if ((rc = db.Prepare("INSERT INTO forward_waiting(id) VALUES(?1)", queue)) != SQLITE_OK) return fail("cannot write");
  sqlite3_bind_int64(queue, 1, out.id);
  if ((rc = sqlite3_step(queue)) != SQLITE_DONE) return fail("cannot write");
  sqlite3_reset(queue);
  if ((rc = db.Exec("COMMIT")) != SQLITE_OK) return fail("cannot write");
  if (walPages >= kCheckpointPages) {
    // The record is kept already; a checkpoint that other processes hold up
    // is simply tried again by a later append, so do not wait long for it.
    sqlite3_busy_timeout(db.get(), 20);
    sqlite3_wal_checkpoint_v2(db.get(), nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  }
  return out;
}

}  // namespace

AppendResult AppendRecord(const std::string& folder, const DownloadRecord& r) {
  // The download that called must go on whatever happens here (memory running out included).
  try {
    return AppendUnguarded(folder, r);
  } catch (const std::exception& e) {
    AppendResult out;
    out.error = RecordsError{RecordsErrorCode::Failed, e.what()};
    return out;
  }
}

std::optional<RecordsError> ForEachRecord(const std::string& folder, const RecordFilter& f,
                                          const std::function<void(const DownloadRecord&)>& each) {
  std::optional<RecordsError> error;
  Db db;
  int version = 0;
  if (!OpenForReading(folder, db, error, &version)) return error;
  std::string sql = "SELECT " + ColumnsOf(version) + " FROM downloads WHERE 1";
  if (!f.sinceUtc.empty()) sql += " AND started_utc >= ?1";
  // The whole target, or one of its words: a serial target is recorded as
  // "COM1 /dev/ttyUSB0" and may be asked for by either.
  if (!f.target.empty()) sql += " AND (target = ?2 OR instr(' ' || target || ' ', ' ' || ?2 || ' ') > 0)";
  if (f.failedOnly) sql += " AND outcome <> 'ok'";
  sql += " ORDER BY started_utc DESC, id DESC";
  if (f.limit > 0) sql += " LIMIT " + std::to_string(f.limit);
  sqlite3_stmt* s = nullptr;
  int rc = db.Prepare(sql, s);
  if (rc == SQLITE_OK) {
    if (!f.sinceUtc.empty()) BindText(s, 1, f.sinceUtc);
    if (!f.target.empty()) BindText(s, 2, f.target);
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) each(RowToRecord(s));
  }
  if (rc != SQLITE_DONE) return ErrorOf(db.get(), rc, "cannot read " + RecordsPath(folder));
  return std::nullopt;
}

ReadResult ReadRecords(const std::string& folder, const RecordFilter& f) {
  ReadResult out;
  out.error = ForEachRecord(folder, f, [&](const DownloadRecord& r) { out.records.push_back(r); });
  if (out.error) out.records.clear();
  return out;
}

std::optional<RecordsError> CountOutcomes(const std::string& folder, const std::string& sinceUtc,
                                          std::map<std::string, std::int64_t>& out) {
  out.clear();
  std::optional<RecordsError> error;
  Db db;
  if (!OpenForReading(folder, db, error)) return error;
  sqlite3_stmt* s = nullptr;
  int rc = db.Prepare("SELECT outcome, count(*) FROM downloads WHERE started_utc >= ?1 GROUP BY outcome", s);
  if (rc == SQLITE_OK) {
    BindText(s, 1, sinceUtc);
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) out[ColumnText(s, 0)] = sqlite3_column_int64(s, 1);
  }
  if (rc != SQLITE_DONE) return ErrorOf(db.get(), rc, "cannot read " + RecordsPath(folder));
  return std::nullopt;
}

ReadResult ReadRecord(const std::string& folder, std::int64_t id) {
  ReadResult out;
  Db db;
  int version = 0;
  const bool open = OpenForReading(folder, db, out.error, &version);
  if (out.error) return out;
  if (open) {
    sqlite3_stmt* s = nullptr;
    int rc = db.Prepare("SELECT " + ColumnsOf(version) + " FROM downloads WHERE id = ?1", s);
    if (rc == SQLITE_OK) {
      sqlite3_bind_int64(s, 1, id);
      rc = sqlite3_step(s);
      if (rc == SQLITE_ROW) {
        out.records.push_back(RowToRecord(s));
        return out;
      }
    }
    if (rc != SQLITE_DONE) {
      out.error = ErrorOf(db.get(), rc, "cannot read " + RecordsPath(folder));
      return out;
    }
  }
  out.error = RecordsError{RecordsErrorCode::NotFound, "no record " + std::to_string(id)};
  return out;
}

std::string NewRecordUid() { return QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString(); }

ReadResult ReadWaitingRecords(const std::string& folder, std::int64_t afterId, int limit) {
  ReadResult out;
  Db db;
  if (!OpenForWriting(folder, db, out.error)) return out;
  sqlite3_stmt* s = nullptr;
  int rc = db.Prepare(std::string("SELECT ") + kColumns +
                          " FROM downloads WHERE id IN (SELECT id FROM forward_waiting WHERE id > ?1"
                          " ORDER BY id LIMIT ?2) ORDER BY id",
                      s);
  if (rc == SQLITE_OK) {
    sqlite3_bind_int64(s, 1, afterId);
    sqlite3_bind_int(s, 2, limit);
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) out.records.push_back(RowToRecord(s));
    sqlite3_reset(s);
  }
  if (rc == SQLITE_DONE) rc = db.Exec("COMMIT");
  if (rc != SQLITE_OK) {
    out.error = ErrorOf(db.get(), rc, "cannot read " + RecordsPath(folder));
    out.records.clear();
    db.Exec("ROLLBACK");
  }
  return out;
}

std::optional<RecordsError> MarkForwarded(const std::string& folder, std::span<const std::int64_t> ids) {
  std::optional<RecordsError> error;
  Db db;
  if (!OpenForWriting(folder, db, error)) return error;
  sqlite3_stmt* s = nullptr;
  int rc = db.Prepare("DELETE FROM forward_waiting WHERE id = ?1", s);
  for (std::size_t k = 0; rc == SQLITE_OK && k < ids.size(); ++k) {
    sqlite3_bind_int64(s, 1, ids[k]);
    rc = sqlite3_step(s);
    sqlite3_reset(s);
    if (rc == SQLITE_DONE) rc = SQLITE_OK;
  }
  if (rc == SQLITE_OK) rc = db.Exec("COMMIT");
  if (rc != SQLITE_OK) {
    db.Exec("ROLLBACK");
    return ErrorOf(db.get(), rc, "cannot write " + RecordsPath(folder));
  }
  return std::nullopt;
}

std::optional<RecordsError> NoteForwardAttempt(const std::string& folder, const std::string& error) {
  std::optional<RecordsError> failed;
  Db db;
  if (!OpenForWriting(folder, db, failed)) return failed;
  sqlite3_stmt* s = nullptr;
  int rc = db.Prepare("INSERT OR REPLACE INTO forward_state(key, value) VALUES(?1, ?2)", s);
  for (const auto& [key, value] : {std::pair<const char*, std::string>{"last_attempt_utc", UtcNowIso()},
                                   std::pair<const char*, std::string>{"last_error", error}}) {
    if (rc != SQLITE_OK) break;
    sqlite3_bind_text(s, 1, key, -1, SQLITE_STATIC);
    BindText(s, 2, value);
    rc = sqlite3_step(s);
    sqlite3_reset(s);
    if (rc == SQLITE_DONE) rc = SQLITE_OK;
  }
  if (rc == SQLITE_OK) rc = db.Exec("COMMIT");
  if (rc != SQLITE_OK) {
    db.Exec("ROLLBACK");
    return ErrorOf(db.get(), rc, "cannot write " + RecordsPath(folder));
  }
  return std::nullopt;
}

std::optional<RecordsError> ReadForwardState(const std::string& folder, ForwardState& out) {
  out = ForwardState{};
  std::optional<RecordsError> error;
  Db db;
  int version = 0;
  if (!OpenForReading(folder, db, error, &version)) return error;
  int rc = SQLITE_OK;
  const bool queued = version >= 2;
  // Before forwarding existed every record counts as waiting, as the
  // migration will queue them all.
  const std::string waiting = queued ? "SELECT count(*), (SELECT min(started_utc) FROM downloads WHERE id IN"
                                       " (SELECT id FROM forward_waiting)) FROM forward_waiting"
                                     : "SELECT count(*), min(started_utc) FROM downloads";
  sqlite3_stmt* s = nullptr;
  if (rc == SQLITE_OK) rc = db.Prepare(waiting, s);
  if (rc == SQLITE_OK && (rc = sqlite3_step(s)) == SQLITE_ROW) {
    out.waiting = sqlite3_column_int64(s, 0);
    out.oldestWaitingUtc = ColumnText(s, 1);
    sqlite3_reset(s);
    rc = SQLITE_OK;
  }
  if (rc == SQLITE_OK && queued) {
    sqlite3_stmt* st = nullptr;
    rc = db.Prepare("SELECT key, value FROM forward_state", st);
    while (rc == SQLITE_OK && (rc = sqlite3_step(st)) == SQLITE_ROW) {
      const std::string key = ColumnText(st, 0);
      if (key == "last_attempt_utc") out.lastAttemptUtc = ColumnText(st, 1);
      if (key == "last_error") out.lastError = ColumnText(st, 1);
      rc = SQLITE_OK;
    }
    if (rc == SQLITE_DONE) rc = SQLITE_OK;
    sqlite3_reset(st);
  }
  if (rc != SQLITE_OK) return ErrorOf(db.get(), rc, "cannot read " + RecordsPath(folder));
  return std::nullopt;
}

std::optional<std::string> ParseSinceDate(std::string_view t) {
  if (!t.empty() && (t.back() == 'Z' || t.back() == 'z')) t.remove_suffix(1);
  // Positions of the fixed separators in "YYYY-MM-DDTHH:MM:SS".
  if (t.size() != 10 && t.size() != 16 && t.size() != 19) return std::nullopt;
  auto num = [&](std::size_t pos, std::size_t len) -> int {
    const std::string_view d = t.substr(pos, len);
    if (!IsDigits(d)) return -1;
    int v = 0;
    for (char c : d) v = v * 10 + (c - '0');
    return v;
  };
  if (t[4] != '-' || t[7] != '-') return std::nullopt;
  const int y = num(0, 4), mo = num(5, 2), d = num(8, 2);
  int h = 0, mi = 0, s = 0;
  if (t.size() >= 16) {
    if ((t[10] != 'T' && t[10] != 't' && t[10] != ' ') || t[13] != ':') return std::nullopt;
    h = num(11, 2);
    mi = num(14, 2);
  }
  if (t.size() == 19) {
    if (t[16] != ':') return std::nullopt;
    s = num(17, 2);
  }
  if (y < 0 || mo < 1 || mo > 12 || d < 1 || h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 59) {
    return std::nullopt;
  }
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (d > kDays[mo - 1] + (mo == 2 && leap ? 1 : 0)) return std::nullopt;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", y, mo, d, h, mi, s);
  return std::string(buf);
}

std::string UtcNowIso() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t secs = std::chrono::system_clock::to_time_t(now);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm utc{};
  gmtime_r(&secs, &utc);
  char buf[40];
  const std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(buf + n, sizeof buf - n, ".%03dZ", static_cast<int>(ms < 0 ? ms + 1000 : ms));
  return buf;
}

std::string StationName() {
  char buf[256] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) return "?";
  return buf;
}

std::string OperatorName() {
  // getlogin names who sat down at the terminal (also under sudo); a service
  // or a desktop launcher without one falls back to the process's user.
  char buf[256] = {};
  if (::getlogin_r(buf, sizeof buf) == 0 && buf[0]) return buf;
  std::array<char, 4096> pwbuf{};
  passwd pw{};
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &pw, pwbuf.data(), pwbuf.size(), &found) == 0 && found) return found->pw_name;
  if (const char* user = std::getenv("USER"); user && *user) return user;
  return "uid " + std::to_string(::geteuid());
}

std::string Sha256Hex(const void* data, std::size_t size) {
  return QCryptographicHash::hash(QByteArrayView(static_cast<const char*>(data), static_cast<qsizetype>(size)),
                                  QCryptographicHash::Sha256)
      .toHex()
      .toStdString();
}

std::optional<FileDigest> DigestFile(const std::string& path) {
  QFile f(QString::fromStdString(path));
  if (!f.open(QIODevice::ReadOnly)) return std::nullopt;
  QCryptographicHash h(QCryptographicHash::Sha256);
  FileDigest d;
  char buf[64 * 1024];
  for (;;) {
    const qint64 n = f.read(buf, sizeof buf);
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    h.addData(QByteArrayView(buf, n));
    d.size += n;
  }
  d.sha256 = h.result().toHex().toStdString();
  return d;
}

}  // namespace facset
