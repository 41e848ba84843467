#pragma once
// A private PostgreSQL server for one test binary: initdb into a scratch
// folder, the server listening only on a Unix socket in that folder (no TCP),
// stopped and removed by the destructor. As root the server runs as the
// `postgres` user (PostgreSQL refuses root); should the test binary die, the
// server gets SIGQUIT (parent-death signal) and shuts down at once.
//
// Start one per binary (SharedPgServer), not per case: initdb takes a second
// or two. Cases keep apart by database (FreshDatabase).

#include <string>
#include <vector>

#include "support/temp_files.h"

namespace facset::testing {

class PgServer {
 public:
  // Runs initdb (superuser "facset", trust authentication, no fsync); does not start.
  PgServer();
  ~PgServer();
  PgServer(const PgServer&) = delete;
  PgServer& operator=(const PgServer&) = delete;

  // Starts the server and waits until it accepts connections; throws with the
  // end of the server's log when it does not come up.
  void Start();
  // Fast shutdown (SIGINT): open sessions are cut, the server waits for nothing.
  void Stop();
  // SIGKILL to the server and every backend, as a crash or a pulled plug would
  // leave it; the next Start runs crash recovery.
  void Kill();
  bool Running() const { return pid_ > 0; }

  // libpq connection string for `database` over the socket.
  std::string ConnInfo(const std::string& database = "postgres") const;
  // A new, empty database (named after `hint`, made unique); its connection string.
  std::string FreshDatabase(const std::string& hint);
  const std::string& SocketDir() const { return dir_.path(); }
  std::string LogTail() const;

 private:
  int Spawn();
  void WaitReady();

  TempDir dir_;
  int pid_ = -1;
  int databases_ = 0;
};

// The binary's one server, started on first use and stopped at exit.
PgServer& SharedPgServer();

// Runs `sql` on `conninfo` and returns the rows, each field as text ("" for
// NULL), fields separated by "|"; throws with the server's message on error.
std::vector<std::string> PgQuery(const std::string& conninfo, const std::string& sql);
// The first field of the first row.
std::string PgValue(const std::string& conninfo, const std::string& sql);

}  // namespace facset::testing
