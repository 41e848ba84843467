#include "support/pg_server.h"

#include <fcntl.h>
#include <grp.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <memory>
#include <stdexcept>
#include <thread>

#ifndef FACSET_PG_BINDIR
#define FACSET_PG_BINDIR ""
#endif

namespace facset::testing {
namespace {

constexpr const char* kSuperuser = "facset";

std::string BinDir() {
  const std::string dir = FACSET_PG_BINDIR;
  if (dir.empty() || !FileExists(dir + "/postgres")) {
    throw std::runtime_error("PostgreSQL's server programs were not found at build time: run scripts/install-deps");
  }
  return dir;
}

// The account the server runs as: ourselves, or `postgres` when we are root.
struct Account {
  bool drop = false;
  uid_t uid = 0;
  gid_t gid = 0;
};

Account ServerAccount() {
  Account a;
  if (::geteuid() != 0) return a;
  const passwd* pw = ::getpwnam("postgres");
  if (!pw) throw std::runtime_error("running as root needs the postgres user (Debian's postgresql package)");
  a.drop = true;
  a.uid = pw->pw_uid;
  a.gid = pw->pw_gid;
  return a;
}

// Starts `argv` as `account` with stdout and stderr appended to `logPath`,
// in a process group of its own, told to quit when this process dies.
pid_t SpawnAs(const Account& account, const std::vector<std::string>& args, const std::string& logPath) {
  std::vector<char*> argv;
  std::vector<std::string> copy = args;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  // Child: only async-signal-safe calls from here to exec.
  const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (log < 0) ::_exit(127);
  ::dup2(log, 1);
  ::dup2(log, 2);
  const int null = ::open("/dev/null", O_RDONLY);
  if (null >= 0) ::dup2(null, 0);
  ::setpgid(0, 0);
  if (account.drop) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(account.gid) != 0 || ::setuid(account.uid) != 0) ::_exit(126);
  }
  // After the change of user, which clears it.
  ::prctl(PR_SET_PDEATHSIG, SIGQUIT);
  if (::getppid() != parent) ::_exit(125);
  ::execv(argv[0], argv.data());
  ::_exit(127);
}

int WaitExit(pid_t pid) {
  int ws = 0;
  while (::waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
}

struct PgConnCloser {
  void operator()(PGconn* c) const { PQfinish(c); }
};
struct PgResultClearer {
  void operator()(PGresult* r) const { PQclear(r); }
};

}  // namespace

PgServer::PgServer() {
  const Account account = ServerAccount();
  if (account.drop && ::chown(dir_.path().c_str(), account.uid, account.gid) != 0) {
    throw std::runtime_error("cannot hand " + dir_.path() + " to the postgres user");
  }
  const pid_t pid = SpawnAs(account,
                            {BinDir() + "/initdb", "-D", dir_ / "data", "-U", kSuperuser, "-A", "trust",
                             "--no-sync", "-E", "UTF8", "--locale=C.UTF-8"},
                            dir_ / "initdb.log");
  if (pid < 0 || WaitExit(pid) != 0) {
    throw std::runtime_error("initdb failed:\n" + ReadFileBytes(dir_ / "initdb.log"));
  }
}

PgServer::~PgServer() {
  try {
    if (Running()) Stop();
  } catch (...) {
  }
}

int PgServer::Spawn() {
  // Only the socket in our folder; durability is not what the tests check,
  // except that a killed server comes back with what it had committed (WAL
  // is still written, only not flushed to the disk).
  return SpawnAs(ServerAccount(),
                 {BinDir() + "/postgres", "-D", dir_ / "data", "-k", dir_.path(), "-c", "listen_addresses=", "-c",
                  "fsync=off", "-c", "full_page_writes=off", "-c", "shared_buffers=32MB", "-c", "max_connections=120",
                  "-c", "log_min_messages=warning"},
                 dir_ / "server.log");
}

void PgServer::Start() {
  if (Running()) return;
  pid_ = Spawn();
  if (pid_ < 0) throw std::runtime_error("cannot start postgres");
  WaitReady();
}

void PgServer::WaitReady() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  const std::string conninfo = ConnInfo() + " connect_timeout=2";
  for (;;) {
    if (PQping(conninfo.c_str()) == PQPING_OK) return;
    int ws = 0;
    if (::waitpid(pid_, &ws, WNOHANG) == pid_) {
      pid_ = -1;
      // A killed server's backends may still hold the old shared memory for a moment.
      if (std::chrono::steady_clock::now() < deadline && LogTail().find("still in use") != std::string::npos) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pid_ = Spawn();
        continue;
      }
      throw std::runtime_error("postgres exited at start:\n" + LogTail());
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      Kill();
      throw std::runtime_error("postgres did not come up:\n" + LogTail());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void PgServer::Stop() {
  if (!Running()) return;
  ::kill(pid_, SIGINT);
  WaitExit(pid_);
  pid_ = -1;
}

void PgServer::Kill() {
  if (!Running()) return;
  ::kill(-pid_, SIGKILL);
  WaitExit(pid_);
  // The backends are not our children: wait until the group is gone (or only
  // zombies nobody reaps are left, which hold nothing).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (::kill(-pid_, 0) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  pid_ = -1;
}

std::string PgServer::ConnInfo(const std::string& database) const {
  return "host=" + dir_.path() + " port=5432 user=" + kSuperuser + " dbname=" + database;
}

std::string PgServer::FreshDatabase(const std::string& hint) {
  std::string name;
  for (char c : hint) {
    const bool keep = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    name.push_back(keep ? c : (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : '_');
  }
  name = "t" + std::to_string(++databases_) + "_" + name.substr(0, 40);
  // A file copy of the template is quicker than writing it all to the WAL.
  PgQuery(ConnInfo(), "CREATE DATABASE " + name + " STRATEGY FILE_COPY");
  return ConnInfo(name);
}

std::string PgServer::LogTail() const {
  const std::string log = ReadFileBytes(dir_ / "server.log");
  return log.size() > 4000 ? log.substr(log.size() - 4000) : log;
}

PgServer& SharedPgServer() {
  static std::unique_ptr<PgServer> server = [] {
    auto s = std::make_unique<PgServer>();
    s->Start();
    return s;
  }();
  return *server;
}

std::vector<std::string> PgQuery(const std::string& conninfo, const std::string& sql) {
  std::unique_ptr<PGconn, PgConnCloser> conn(PQconnectdb(conninfo.c_str()));
  if (PQstatus(conn.get()) != CONNECTION_OK) {
    throw std::runtime_error("cannot connect to " + conninfo + ": " + PQerrorMessage(conn.get()));
  }
  std::unique_ptr<PGresult, PgResultClearer> res(PQexec(conn.get(), sql.c_str()));
  const ExecStatusType st = PQresultStatus(res.get());
  if (st != PGRES_TUPLES_OK && st != PGRES_COMMAND_OK) {
    throw std::runtime_error(sql + ": " + PQresultErrorMessage(res.get()));
  }
  std::vector<std::string> rows;
  for (int r = 0; r < PQntuples(res.get()); ++r) {
    std::string row;
    for (int c = 0; c < PQnfields(res.get()); ++c) {
      if (c) row += '|';
      row += PQgetvalue(res.get(), r, c);
    }
    rows.push_back(row);
  }
  return rows;
}

std::string PgValue(const std::string& conninfo, const std::string& sql) {
  const auto rows = PgQuery(conninfo, sql);
  if (rows.empty()) throw std::runtime_error(sql + ": no row");
  const std::string& row = rows.front();
  return row.substr(0, row.find('|'));
}

}  // namespace facset::testing
