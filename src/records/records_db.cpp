#include "records/records.h"

#include "platform/paths.h"
#include "platform/safe_files.h"
#include "records/json_text.h"
#include "records/values_set.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QUuid>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
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
    // The values set for the run (download --set, a targets table), as JSON.
    Migration{2, "ALTER TABLE downloads ADD COLUMN values_set TEXT NOT NULL DEFAULT '[]';"},
    // Forwarding to the factory database: every record gets its uid, and
    // every record is waiting until the factory database has it (the records
    // of the years before the factory database count too).
    Migration{3,
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
    " connect_outcome, block_outcome, firmware_outcome, outcome, exit_code, error, log, values_set, uid";
// A file only read is not migrated: a column it does not have yet reads as
// what the migration would give it.
std::string ColumnsOf(int version) {
  std::string c = kColumns;
  auto stand = [&](std::string_view column, std::string_view value) {
    c.replace(c.find(column), column.size(), value);
  };
  if (version < 3) stand(" uid", " ''");
  if (version < 2) stand(" values_set", " '[]'");
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

StepOutcome ColumnOutcome(sqlite3_stmt* s, int i) {
  return ParseStepOutcome(ColumnText(s, i)).value_or(StepOutcome::Unknown);
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
  r.connectOutcome = ColumnOutcome(s, i++);
  r.blockOutcome = ColumnOutcome(s, i++);
  r.firmwareOutcome = ColumnOutcome(s, i++);
  r.outcome = ParseRunOutcome(ColumnText(s, i++)).value_or(RunOutcome::Failed);
  if (auto code = ColumnOptional(s, i++)) r.exitCode = static_cast<int>(*code);
  r.error = ColumnText(s, i++);
  r.log = ParseJsonStringArray(ColumnText(s, i++));
  r.valuesSet = ParseValuesSetJson(ColumnText(s, i++));
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

// The values of the INSERT, in the order of its columns.
void BindRecord(sqlite3_stmt* s, const DownloadRecord& r, const std::string& uid) {
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
  BindText(s, i++, std::string(Spell(r.connectOutcome)));
  BindText(s, i++, std::string(Spell(r.blockOutcome)));
  BindText(s, i++, std::string(Spell(r.firmwareOutcome)));
  BindText(s, i++, std::string(Spell(r.outcome)));
  BindOptional(s, i++, r.exitCode);
  BindText(s, i++, r.error);
  BindText(s, i++, JsonStringArray(r.log));
  BindText(s, i++, ValuesSetJson(r.valuesSet));
  BindText(s, i++, uid);
}

// Brings the schema up to this program's inside the write transaction.
std::optional<RecordsError> Migrate(Db& db, const std::string& path, int& rc) {
  int version = db.UserVersion(rc);
  if (rc != SQLITE_OK) return ErrorOf(db.get(), rc, "cannot read " + path);
  if (version > kRecordsSchemaVersion) {
    return RecordsError{RecordsErrorCode::NewerSchema,
                        path + " was written by a newer program (schema " + std::to_string(version) + ")"};
  }
  const int found = version;
  for (const Migration& m : kMigrations) {
    if (m.to <= version) continue;
    if ((rc = db.Exec(m.sql)) != SQLITE_OK) return ErrorOf(db.get(), rc, "cannot migrate " + path);
    if (m.then && (rc = m.then(db)) != SQLITE_OK) return ErrorOf(db.get(), rc, "cannot migrate " + path);
    version = m.to;
  }
  if (version != found && (rc = db.Exec(("PRAGMA user_version=" + std::to_string(version)).c_str())) != SQLITE_OK) {
    return ErrorOf(db.get(), rc, "cannot migrate " + path);
  }
  return std::nullopt;
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
  if (auto e = Migrate(db, path, rc)) {
    db.Exec("ROLLBACK");
    error = std::move(e);
    return false;
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
      " blocks_to_send, connect_outcome, block_outcome, firmware_outcome, outcome, exit_code, error, log,"
      " values_set, uid) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
      s);
  if (rc != SQLITE_OK) return fail("cannot write");
  out.uid = r.uid.empty() ? NewRecordUid() : r.uid;
  BindRecord(s, r, out.uid);
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

// SQLite names a file it may not write as "unable to open", or blames the
// step that first wrote (a migration): when the permissions or the file system
// say the database or its folder is read-only, the reason says that instead.
std::optional<RecordsError> ReadOnlyError(const std::string& folder) {
  const auto refused = [](const std::string& p) {
    return ::access(p.c_str(), W_OK) != 0 && (errno == EACCES || errno == EPERM || errno == EROFS);
  };
  const std::string path = RecordsPath(folder);
  for (const char* companion : {"", "-wal", "-shm"}) {
    const std::string p = path + companion;
    if (refused(p)) {
      return RecordsError{RecordsErrorCode::ReadOnly,
                          "cannot write " + path + ": " + (*companion ? p + " is " : "") + "read-only (" +
                              std::strerror(errno) + ")"};
    }
  }
  const std::string dir = path.substr(0, path.rfind('/') + 1);
  if (refused(dir)) {
    return RecordsError{RecordsErrorCode::ReadOnly,
                        "cannot write " + path + ": its folder is read-only (" + std::strerror(errno) + ")"};
  }
  return std::nullopt;
}

}  // namespace

AppendResult AppendRecord(const std::string& folder, const DownloadRecord& r) {
  // The download that called must go on whatever happens here (memory running out included).
  try {
    AppendResult out = AppendUnguarded(folder, r);
    const bool writeRefused = out.error && (out.error->code == RecordsErrorCode::ReadOnly ||
                                            out.error->code == RecordsErrorCode::CannotOpen ||
                                            out.error->code == RecordsErrorCode::Failed);
    if (writeRefused) {
      if (auto readOnly = ReadOnlyError(folder)) out.error = std::move(readOnly);
    }
    return out;
  } catch (const std::exception& e) {
    AppendResult out;
    out.error = RecordsError{RecordsErrorCode::Failed, e.what()};
    return out;
  }
}

namespace {

// `SELECT columns FROM downloads` narrowed by `f`, newest first: its text and
// the binding of its parameters.
std::string Selected(const std::string& columns, const RecordFilter& f) {
  std::string sql = "SELECT " + columns + " FROM downloads WHERE 1";
  if (!f.sinceUtc.empty()) sql += " AND started_utc >= ?1";
  // The whole target, or one of its words: a serial target is recorded as
  // "COM1 /dev/ttyUSB0" and may be asked for by either.
  if (!f.target.empty()) sql += " AND (target = ?2 OR instr(' ' || target || ' ', ' ' || ?2 || ' ') > 0)";
  if (f.failedOnly) sql += " AND outcome <> 'ok'";
  sql += " ORDER BY started_utc DESC, id DESC";
  if (f.limit > 0) sql += " LIMIT " + std::to_string(f.limit);
  return sql;
}
void BindFilter(sqlite3_stmt* s, const RecordFilter& f) {
  if (!f.sinceUtc.empty()) BindText(s, 1, f.sinceUtc);
  if (!f.target.empty()) BindText(s, 2, f.target);
}

}  // namespace

std::optional<RecordsError> ForEachRecord(const std::string& folder, const RecordFilter& f,
                                          const std::function<void(const DownloadRecord&)>& each) {
  std::optional<RecordsError> error;
  Db db;
  int version = 0;
  if (!OpenForReading(folder, db, error, &version)) return error;
  sqlite3_stmt* s = nullptr;
  int rc = db.Prepare(Selected(ColumnsOf(version), f), s);
  if (rc == SQLITE_OK) {
    BindFilter(s, f);
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) each(RowToRecord(s));
  }
  if (rc != SQLITE_DONE) return ErrorOf(db.get(), rc, "cannot read " + RecordsPath(folder));
  return std::nullopt;
}

std::optional<RecordsError> MeasureRecords(const std::string& folder, const RecordFilter& f, RecordsExtent& out) {
  out = RecordsExtent{};
  std::optional<RecordsError> error;
  Db db;
  if (!OpenForReading(folder, db, error)) return error;
  // Lengths in bytes, as the table pads them.
  sqlite3_stmt* s = nullptr;
  int rc = db.Prepare("SELECT count(*), max(length(CAST(id AS TEXT))), max(length(CAST(started_utc AS BLOB))),"
                      " max(length(CAST(target AS BLOB))), max(length(CAST(station AS BLOB))) FROM (" +
                          Selected("id, started_utc, target, station", f) + ")",
                      s);
  if (rc == SQLITE_OK) {
    BindFilter(s, f);
    if ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      out.count = sqlite3_column_int64(s, 0);
      out.idChars = static_cast<std::size_t>(sqlite3_column_int64(s, 1));
      out.startBytes = static_cast<std::size_t>(sqlite3_column_int64(s, 2));
      out.targetBytes = static_cast<std::size_t>(sqlite3_column_int64(s, 3));
      out.stationBytes = static_cast<std::size_t>(sqlite3_column_int64(s, 4));
      rc = SQLITE_DONE;
    }
    sqlite3_reset(s);
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
                                          std::map<RunOutcome, std::int64_t>& out) {
  out.clear();
  std::optional<RecordsError> error;
  Db db;
  if (!OpenForReading(folder, db, error)) return error;
  sqlite3_stmt* s = nullptr;
  int rc = db.Prepare("SELECT outcome, count(*) FROM downloads WHERE started_utc >= ?1 GROUP BY outcome", s);
  if (rc == SQLITE_OK) {
    BindText(s, 1, sinceUtc);
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      out[ParseRunOutcome(ColumnText(s, 0)).value_or(RunOutcome::Failed)] += sqlite3_column_int64(s, 1);
    }
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

namespace {

// One statement run once for each of `count` bindings, in one write transaction.
std::optional<RecordsError> WriteEach(const std::string& folder, const char* sql, std::size_t count,
                                      const std::function<void(sqlite3_stmt*, std::size_t)>& bind) {
  std::optional<RecordsError> error;
  Db db;
  if (!OpenForWriting(folder, db, error)) return error;
  sqlite3_stmt* s = nullptr;
  int rc = db.Prepare(sql, s);
  for (std::size_t k = 0; rc == SQLITE_OK && k < count; ++k) {
    bind(s, k);
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

}  // namespace

std::optional<RecordsError> MarkForwarded(const std::string& folder, std::span<const std::int64_t> ids) {
  return WriteEach(folder, "DELETE FROM forward_waiting WHERE id = ?1", ids.size(),
                   [&](sqlite3_stmt* s, std::size_t k) { sqlite3_bind_int64(s, 1, ids[k]); });
}

std::optional<RecordsError> NoteForwardAttempt(const std::string& folder, const std::string& error) {
  const std::pair<const char*, std::string> state[] = {{"last_attempt_utc", UtcNowIso()}, {"last_error", error}};
  return WriteEach(folder, "INSERT OR REPLACE INTO forward_state(key, value) VALUES(?1, ?2)", std::size(state),
                   [&](sqlite3_stmt* s, std::size_t k) {
                     sqlite3_bind_text(s, 1, state[k].first, -1, SQLITE_STATIC);
                     BindText(s, 2, state[k].second);
                   });
}

std::optional<RecordsError> ReadForwardState(const std::string& folder, ForwardState& out) {
  out = ForwardState{};
  std::optional<RecordsError> error;
  Db db;
  int version = 0;
  if (!OpenForReading(folder, db, error, &version)) return error;
  int rc = SQLITE_OK;
  const bool queued = version >= 3;
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

}  // namespace facset
