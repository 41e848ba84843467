#pragma once
// One connection to the factory database, driven through libpq's non-blocking
// calls so that every wait ends by a deadline or when asked to stop: a station
// never hangs on the network. Not thread-safe; one session per thread.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct pg_conn;
struct pg_result;

namespace facset {

using SteadyTime = std::chrono::steady_clock::time_point;

// When every wait of a session ends: at `deadline`, or soon after `*stop`
// turns true (checked every few tens of milliseconds).
struct PgLimits {
  SteadyTime deadline = SteadyTime::max();
  const std::atomic<bool>* stop = nullptr;
};

// A statement parameter: text, binary (bytea) or NULL.
struct PgParam {
  std::optional<std::string> value;
  bool binary = false;
  static PgParam Text(std::string v) { return {std::move(v), false}; }
  static PgParam Bytes(std::string v) { return {std::move(v), true}; }
  static PgParam Null() { return {}; }
  static PgParam Int(std::int64_t v) { return Text(std::to_string(v)); }
  template <typename T>
  static PgParam Optional(const std::optional<T>& v) {
    return v ? Int(static_cast<std::int64_t>(*v)) : Null();
  }
};

struct PgResultDeleter {
  void operator()(pg_result* r) const;
};
using PgResultPtr = std::unique_ptr<pg_result, PgResultDeleter>;

// A finished statement: its rows as text, or why it failed.
class PgRows {
 public:
  PgRows() = default;
  explicit PgRows(PgResultPtr r) : r_(std::move(r)) {}
  int Count() const;
  bool IsNull(int row, int col) const;
  std::string_view Text(int row, int col) const;
  std::int64_t Int(int row, int col) const;
  // Rows an INSERT, UPDATE or DELETE touched.
  std::int64_t Affected() const;

 private:
  PgResultPtr r_;
};

class PgSession {
 public:
  explicit PgSession(PgLimits limits = {}) : limits_(limits) {}
  ~PgSession();
  PgSession(const PgSession&) = delete;
  PgSession& operator=(const PgSession&) = delete;

  // From now on, waits end by these.
  void SetLimits(PgLimits limits) { limits_ = limits; }
  // Connects (client encoding UTF-8); false with Error() set on failure.
  bool Connect(const std::string& conninfo);
  bool Connected() const;
  void Close();

  // Runs one statement; nullopt with Error() and SqlState() set on failure.
  std::optional<PgRows> Exec(const std::string& sql, const std::vector<PgParam>& params = {});
  // Runs a query and hands each row to `row` as it arrives (memory stays flat
  // whatever the number of rows); `row` returns false to stop early.
  bool Stream(const std::string& sql, const std::vector<PgParam>& params,
              const std::function<bool(const PgRows& one)>& row);

  // The last failure: libpq's or the server's message on one line.
  const std::string& Error() const { return error_; }
  // The server's SQLSTATE of the last failure ("" when the server sent none).
  const std::string& SqlState() const { return sqlState_; }
  // The last failure lost the connection (or never had one), as opposed to a
  // statement the server refused.
  bool LinkFailed() const { return linkFailed_; }

 private:
  enum class Wait { Read, Write };
  bool WaitSocket(Wait w);
  bool Send(const std::string& sql, const std::vector<PgParam>& params);
  // The next result; null at the end of the statement's results or on failure
  // (failure sets Error()).
  PgResultPtr NextResult(bool& failed);
  void SetLinkError(std::string_view what);

  PgLimits limits_;
  pg_conn* conn_ = nullptr;
  std::string error_;
  std::string sqlState_;
  bool linkFailed_ = false;
};

}  // namespace facset
