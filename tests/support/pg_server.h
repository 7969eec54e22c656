// A PostgreSQL server of a test's own: a new cluster made by initdb in a
// temporary folder, listening only on a Unix socket in that folder, stopped
// and removed afterwards. As root the server runs as the unprivileged
// `postgres` user (Debian's package makes it), which owns the folder.
#ifndef CORKWALL_TESTS_SUPPORT_PG_SERVER_H_
#define CORKWALL_TESTS_SUPPORT_PG_SERVER_H_

#include <sys/types.h>

#include <string>

namespace corkwall {
namespace testing {

class PgServer {
 public:
  PgServer() = default;
  ~PgServer() { Stop(); }
  PgServer(const PgServer&) = delete;
  PgServer& operator=(const PgServer&) = delete;

  // Makes and starts the cluster. `durable` keeps fsync on (benchmarks);
  // tests run without it, which loses nothing unless the machine itself
  // goes down. False with *error (and the server's log) when it cannot.
  bool Start(bool durable, std::string* error);
  // Stops the server (fast shutdown) and removes its folder. Safe to call
  // twice, and only the process that started the server stops it.
  void Stop();
  // Stops and starts the server again on the same cluster.
  bool Restart(std::string* error);
  bool running() const { return !dir_.empty(); }

  // A libpq URI of a database on the server, as the superuser `postgres`.
  std::string Uri(const std::string& database = "postgres") const;
  // The same with a search path of one schema (created by the store on
  // first use).
  std::string SchemaUri(const std::string& schema) const;

  // Runs SQL as the superuser in database `postgres`; the first column of
  // the first row in *value when asked. False with *error on failure.
  bool Sql(const std::string& sql, std::string* error, std::string* value = nullptr) const;
  bool SqlOn(const std::string& uri, const std::string& sql, std::string* error,
             std::string* value = nullptr) const;

  // The server shared by every test of this process: started on first use,
  // stopped at exit. nullptr with *error when it cannot start.
  static PgServer* Shared(std::string* error);

 private:
  bool Run(const std::string& tool, const std::string& arguments, std::string* error) const;

  std::string dir_;
  std::string bin_;
  pid_t owner_ = 0;
  bool durable_ = false;
};

}  // namespace testing
}  // namespace corkwall

#endif  // CORKWALL_TESTS_SUPPORT_PG_SERVER_H_
