#include "factorydb/pg_session.h"

#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

namespace facset {
namespace {

// How often a wait looks at the stop flag.
constexpr auto kStopSlice = std::chrono::milliseconds(20);

// libpq's messages end with a line break and may span lines.
std::string OneLine(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (c == '\n' || c == '\r') {
      if (!out.empty() && out.back() != ' ') out.push_back(' ');
    } else {
      out.push_back(c);
    }
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

// SQLSTATE classes that mean the connection, not the statement, failed:
// 08 connection exception, 57P0x the server shutting down or gone.
bool IsLinkState(std::string_view state) {
  return state.substr(0, 2) == "08" || state.substr(0, 4) == "57P0";
}

}  // namespace

void PgResultDeleter::operator()(pg_result* r) const { PQclear(r); }

int PgRows::Count() const { return r_ ? PQntuples(r_.get()) : 0; }
bool PgRows::IsNull(int row, int col) const { return PQgetisnull(r_.get(), row, col) != 0; }
std::string_view PgRows::Text(int row, int col) const {
  return {PQgetvalue(r_.get(), row, col), static_cast<std::size_t>(PQgetlength(r_.get(), row, col))};
}
std::int64_t PgRows::Int(int row, int col) const {
  const std::string_view t = Text(row, col);
  std::int64_t v = 0;
  std::from_chars(t.data(), t.data() + t.size(), v);
  return v;
}

std::int64_t PgRows::Affected() const {
  const char* n = r_ ? PQcmdTuples(r_.get()) : "";
  std::int64_t v = 0;
  std::from_chars(n, n + std::strlen(n), v);
  return v;
}

PgSession::~PgSession() { Close(); }

void PgSession::Close() {
  if (conn_) PQfinish(conn_);
  conn_ = nullptr;
}

bool PgSession::Connected() const { return conn_ && PQstatus(conn_) == CONNECTION_OK; }

void PgSession::SetLinkError(std::string_view what) {
  error_ = OneLine(what);
  sqlState_.clear();
  linkFailed_ = true;
}

bool PgSession::WaitSocket(Wait w) {
  for (;;) {
    if (limits_.stop && limits_.stop->load()) {
      SetLinkError("no answer in the time given");
      return false;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= limits_.deadline) {
      SetLinkError("no answer in the time given");
      return false;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(limits_.deadline - now);
    const auto slice = limits_.stop ? std::min<std::chrono::milliseconds>(left, kStopSlice) : left;
    pollfd p{PQsocket(conn_), static_cast<short>(w == Wait::Read ? POLLIN : POLLOUT), 0};
    if (p.fd < 0) {
      SetLinkError(PQerrorMessage(conn_));
      return false;
    }
    // A deadline of "never" still wakes now and then; the loop goes round.
    const int ms = static_cast<int>(std::min<std::chrono::milliseconds::rep>(slice.count() + 1, 60000));
    const int n = ::poll(&p, 1, ms);
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) {
      SetLinkError("poll failed");
      return false;
    }
  }
}

bool PgSession::Connect(const std::string& conninfo) {
  Close();
  error_.clear();
  sqlState_.clear();
  linkFailed_ = false;
  // The configured string first (expanded), then what we insist on: later
  // entries win over it. Our texts are UTF-8 whatever the server's default.
  const char* keys[] = {"dbname", "client_encoding", "fallback_application_name", nullptr};
  const char* values[] = {conninfo.c_str(), "UTF8", "facset", nullptr};
  conn_ = PQconnectStartParams(keys, values, 1);
  if (!conn_) {
    SetLinkError("out of memory");
    return false;
  }
  if (PQstatus(conn_) == CONNECTION_BAD) {
    SetLinkError(PQerrorMessage(conn_));
    Close();
    return false;
  }
  for (;;) {
    switch (PQconnectPoll(conn_)) {
      case PGRES_POLLING_OK:
        if (PQsetnonblocking(conn_, 1) != 0) {
          SetLinkError(PQerrorMessage(conn_));
          Close();
          return false;
        }
        return true;
      case PGRES_POLLING_FAILED:
        SetLinkError(PQerrorMessage(conn_));
        Close();
        return false;
      case PGRES_POLLING_READING:
        if (!WaitSocket(Wait::Read)) {
          Close();
          return false;
        }
        break;
      case PGRES_POLLING_WRITING:
      default:
        if (!WaitSocket(Wait::Write)) {
          Close();
          return false;
        }
        break;
    }
  }
}

bool PgSession::Send(const std::string& sql, const std::vector<PgParam>& params) {
  error_.clear();
  sqlState_.clear();
  linkFailed_ = false;
  if (!Connected()) {
    SetLinkError("not connected");
    return false;
  }
  std::vector<const char*> values;
  std::vector<int> lengths, formats;
  for (const PgParam& p : params) {
    values.push_back(p.value ? p.value->data() : nullptr);
    lengths.push_back(p.value ? static_cast<int>(p.value->size()) : 0);
    formats.push_back(p.binary ? 1 : 0);
  }
  // Without parameters the simple protocol, which also runs a script of
  // several statements (the schema's migrations).
  const int sent = params.empty() ? PQsendQuery(conn_, sql.c_str())
                                  : PQsendQueryParams(conn_, sql.c_str(), static_cast<int>(params.size()), nullptr,
                                                      values.data(), lengths.data(), formats.data(), 0);
  if (!sent) {
    SetLinkError(PQerrorMessage(conn_));
    return false;
  }
  for (;;) {
    const int f = PQflush(conn_);
    if (f == 0) return true;
    if (f < 0) {
      SetLinkError(PQerrorMessage(conn_));
      return false;
    }
    // The server may be waiting for us to read before it reads more.
    if (!WaitSocket(Wait::Write) || !PQconsumeInput(conn_)) {
      if (error_.empty()) SetLinkError(PQerrorMessage(conn_));
      return false;
    }
  }
}

PgResultPtr PgSession::NextResult(bool& failed) {
  failed = false;
  while (PQisBusy(conn_)) {
    if (!WaitSocket(Wait::Read)) {
      failed = true;
      return nullptr;
    }
    if (!PQconsumeInput(conn_)) {
      SetLinkError(PQerrorMessage(conn_));
      failed = true;
      return nullptr;
    }
  }
  PgResultPtr r(PQgetResult(conn_));
  if (!r) return nullptr;
  const ExecStatusType st = PQresultStatus(r.get());
  if (st == PGRES_FATAL_ERROR || st == PGRES_BAD_RESPONSE || st == PGRES_NONFATAL_ERROR) {
    const char* state = PQresultErrorField(r.get(), PG_DIAG_SQLSTATE);
    error_ = OneLine(PQresultErrorMessage(r.get()));
    sqlState_ = state ? state : "";
    linkFailed_ = PQstatus(conn_) != CONNECTION_OK || IsLinkState(sqlState_) || sqlState_.empty();
    failed = true;
  }
  return r;
}

std::optional<PgRows> PgSession::Exec(const std::string& sql, const std::vector<PgParam>& params) {
  if (!Send(sql, params)) return std::nullopt;
  PgResultPtr last;
  bool anyFailed = false;
  for (;;) {
    bool failed = false;
    PgResultPtr r = NextResult(failed);
    if (failed && !r) {  // the link broke: no end of results will come
      Close();
      return std::nullopt;
    }
    if (!r) break;
    anyFailed = anyFailed || failed;
    last = std::move(r);
  }
  if (anyFailed) return std::nullopt;
  return PgRows(std::move(last));
}

bool PgSession::Stream(const std::string& sql, const std::vector<PgParam>& params,
                       const std::function<bool(const PgRows& one)>& row) {
  if (!Send(sql, params)) return false;
  PQsetSingleRowMode(conn_);
  bool ok = true, wanted = true;
  for (;;) {
    bool failed = false;
    PgResultPtr r = NextResult(failed);
    if (failed && !r) {
      Close();
      return false;
    }
    if (!r) break;
    if (failed) ok = false;
    if (ok && wanted && PQresultStatus(r.get()) == PGRES_SINGLE_TUPLE) {
      const PgRows one(std::move(r));
      if (!row(one)) {
        // Nothing more is wanted: drop the rest on the floor by closing.
        wanted = false;
        Close();
        return true;
      }
    }
  }
  return ok;
}

}  // namespace facset
