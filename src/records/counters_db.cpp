#include "records/counters.h"

#include <sqlite3.h>

#include <chrono>
#include <functional>
#include <thread>
#include <variant>

#include "platform/safe_files.h"
#include "records/records.h"

namespace facset {
namespace {

constexpr int kBusyTimeoutMs = 5000;

// One connection and one write transaction per call: BEGIN IMMEDIATE makes
// every other writer of the station wait, so a read-then-update is atomic.
class CounterDb {
 public:
  explicit CounterDb(std::string path) : path_(std::move(path)) {}
  ~CounterDb() {
    if (db_) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      sqlite3_close_v2(db_);
    }
  }

  // Opens the database (creating it) and begins the write transaction.
  std::optional<CounterError> Begin() {
    for (const char* companion : {"", "-wal", "-shm", "-journal"}) {
      if (std::string why = CheckRegularOrAbsent(path_ + companion); !why.empty()) {
        return Error("cannot open " + path_ + companion + ": " + why);
      }
    }
    int rc = sqlite3_open_v2(path_.c_str(), &db_,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW,
                             nullptr);
    if (rc != SQLITE_OK) return Failed("cannot open");
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    if ((rc = Wal()) != SQLITE_OK) return Failed("cannot write");
    // A value handed out must survive a power cut: the commit reaches the
    // disk before the value reaches a scale.
    if (Exec("PRAGMA synchronous=FULL") != SQLITE_OK) return Failed("cannot write");
    if (Exec("BEGIN IMMEDIATE") != SQLITE_OK) return Failed("cannot write");
    if (Exec("CREATE TABLE IF NOT EXISTS counters(name TEXT PRIMARY KEY, next INTEGER NOT NULL,"
             " updated_utc TEXT NOT NULL)") != SQLITE_OK) {
      return Failed("cannot write");
    }
    return std::nullopt;
  }

  std::optional<CounterError> Commit() {
    if (Exec("COMMIT") != SQLITE_OK) return Failed("cannot write");
    return std::nullopt;
  }

  // Runs `sql` with text/integer parameters; `row` sees each result row.
  std::optional<CounterError> Run(const char* sql, std::initializer_list<std::variant<std::string_view, std::int64_t>> args,
                                  const std::function<void(sqlite3_stmt*)>& row = {}) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) != SQLITE_OK) return Failed("cannot read");
    int i = 1;
    for (const auto& a : args) {
      if (const auto* text = std::get_if<std::string_view>(&a)) {
        sqlite3_bind_text(s, i++, text->data(), static_cast<int>(text->size()), SQLITE_TRANSIENT);
      } else {
        sqlite3_bind_int64(s, i++, std::get<std::int64_t>(a));
      }
    }
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      if (row) row(s);
    }
    sqlite3_finalize(s);
    if (rc != SQLITE_DONE) return Failed("cannot read");
    return std::nullopt;
  }

  std::optional<std::int64_t> NextOf(std::string_view name, std::optional<CounterError>& error) {
    std::optional<std::int64_t> next;
    error = Run("SELECT next FROM counters WHERE name = ?1", {name},
                [&](sqlite3_stmt* s) { next = sqlite3_column_int64(s, 0); });
    return next;
  }

  const std::string& path() const { return path_; }

 private:
  int Exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); }

  // Switching to WAL takes a lock the busy handler does not always wait for.
  int Wal() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
    for (;;) {
      const int rc = Exec("PRAGMA journal_mode=WAL");
      if ((rc & 0xFF) != SQLITE_BUSY && (rc & 0xFF) != SQLITE_LOCKED) return rc;
      if (std::chrono::steady_clock::now() >= deadline) return rc;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  CounterError Error(std::string reason) const { return CounterError{CounterErrorCode::Unavailable, std::move(reason)}; }
  CounterError Failed(std::string_view what) const {
    return Error(std::string(what) + " " + path_ + ": " + (db_ ? sqlite3_errmsg(db_) : "out of memory"));
  }

  std::string path_;
  sqlite3* db_ = nullptr;
};

class StationCounterStore final : public CounterStore {
 public:
  explicit StationCounterStore(std::string folder) : path_(RecordsPath(folder)) {}

  std::string Where() const override { return "the station database " + path_; }

  CounterValue Next(std::string_view name) override {
    CounterValue out;
    CounterDb db(path_);
    if ((out.error = db.Begin())) return out;
    out.value = db.NextOf(name, out.error);
    if (!out.error && !out.value) out.error = NoSuchCounterError(name);
    return out;
  }

  CounterValue Set(std::string_view name, std::int64_t next) override {
    CounterValue out;
    CounterDb db(path_);
    if ((out.error = db.Begin())) return out;
    if ((out.error = db.Run("INSERT INTO counters(name, next, updated_utc) VALUES(?1, ?2, ?3)"
                            " ON CONFLICT(name) DO UPDATE SET next = excluded.next, updated_utc = excluded.updated_utc",
                            {name, next, std::string_view(UtcNowIso())}))) {
      return out;
    }
    if ((out.error = db.Commit())) return out;
    out.value = next;
    return out;
  }

  CounterValue Take(std::string_view name, std::int64_t count, std::int64_t largest) override {
    CounterValue out;
    CounterDb db(path_);
    if ((out.error = db.Begin())) return out;
    const std::optional<std::int64_t> next = db.NextOf(name, out.error);
    if (out.error) return out;
    if (!next) {
      out.error = NoSuchCounterError(name);
      return out;
    }
    const std::int64_t last = *next + count - 1;
    if (count < 1 || last > largest || last > kCounterMax) {
      out.error = PastLimitError(name, *next, count, largest);
      return out;
    }
    const std::string now = UtcNowIso();
    if ((out.error = db.Run("UPDATE counters SET next = ?2, updated_utc = ?3 WHERE name = ?1",
                            {name, last + 1, std::string_view(now)}))) {
      return out;
    }
    if ((out.error = db.Commit())) return out;
    out.value = *next;
    return out;
  }

  CounterList List() override {
    CounterList out;
    CounterDb db(path_);
    if ((out.error = db.Begin())) return out;
    out.error = db.Run("SELECT name, next FROM counters ORDER BY name", {}, [&](sqlite3_stmt* s) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
      out.counters.push_back({text ? std::string(text) : std::string(), sqlite3_column_int64(s, 1)});
    });
    return out;
  }

 private:
  std::string path_;
};

}  // namespace

CounterError NoSuchCounterError(std::string_view name) {
  return {CounterErrorCode::NoSuchCounter,
          "no counter \"" + std::string(name) + "\" (set its first value with: facset-cli counter " +
              std::string(name) + " --set VALUE)"};
}

CounterError PastLimitError(std::string_view name, std::int64_t next, std::int64_t count, std::int64_t largest) {
  return {CounterErrorCode::PastLimit, "counter \"" + std::string(name) + "\" is at " + std::to_string(next) + ": " +
                                           std::to_string(count) + (count == 1 ? " value" : " values") +
                                           " would reach " + std::to_string(next + count - 1) +
                                           ", past the largest the parameter takes, " + std::to_string(largest)};
}

std::string CheckCounterName(std::string_view name) {
  if (name.empty() || name.size() > 64) return "a counter's name has 1 to 64 characters";
  for (const char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                    c == '-' || c == '.';
    if (!ok) return "a counter's name holds letters, digits, \"_\", \"-\" and \".\" only: \"" + std::string(name) + "\"";
  }
  return {};
}

std::unique_ptr<CounterStore> StationCounters(const std::string& folder) {
  return std::make_unique<StationCounterStore>(folder);
}

}  // namespace facset
