#include "pg_server.h"

#include <glob.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <vector>

namespace corkwall {
namespace testing {
namespace {

// The newest server installed: /usr/lib/postgresql/N/bin.
std::string ServerBin() {
  glob_t found;
  std::string best;
  int best_version = -1;
  if (glob("/usr/lib/postgresql/*/bin/initdb", 0, nullptr, &found) == 0) {
    for (size_t i = 0; i < found.gl_pathc; ++i) {
      std::string path = found.gl_pathv[i];
      int version = atoi(path.c_str() + strlen("/usr/lib/postgresql/"));
      if (version > best_version) {
        best_version = version;
        best = path.substr(0, path.size() - strlen("/initdb"));
      }
    }
    globfree(&found);
  }
  return best;
}

std::string Tail(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  std::string all = text.str();
  return all.size() > 2000 ? all.substr(all.size() - 2000) : all;
}

}  // namespace

bool PgServer::Run(const std::string& tool, const std::string& arguments,
                   std::string* error) const {
  std::string command = bin_ + "/" + tool + " " + arguments;
  if (geteuid() == 0) command = "runuser -u postgres -- " + command;
  command += " >>" + dir_ + "/tools.log 2>&1";
  int status = system(command.c_str());
  if (status == 0) return true;
  *error = tool + " failed (" + std::to_string(status) + "):\n" + Tail(dir_ + "/tools.log") +
           Tail(dir_ + "/server.log");
  return false;
}

bool PgServer::Start(bool durable, std::string* error) {
  if (running()) return true;
  bin_ = ServerBin();
  if (bin_.empty()) {
    *error = "no PostgreSQL server in /usr/lib/postgresql (scripts/install-deps installs it)";
    return false;
  }
  char pattern[] = "/tmp/corkwall-pg.XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    *error = "cannot make a folder for the server";
    return false;
  }
  dir_ = pattern;
  owner_ = getpid();
  durable_ = durable;
  if (geteuid() == 0) {
    struct passwd* user = getpwnam("postgres");
    if (user == nullptr || chown(dir_.c_str(), user->pw_uid, user->pw_gid) != 0) {
      *error = "as root the server runs as the user postgres, which is missing";
      Stop();
      return false;
    }
  }
  if (!Run("initdb", "-D " + dir_ + "/data -U postgres -A trust -E UTF8 --locale=C --no-sync",
           error)) {
    Stop();
    return false;
  }
  std::string settings = "-k " + dir_ + " -c listen_addresses= -c max_connections=200";
  if (!durable) settings += " -c fsync=off -c full_page_writes=off";
  std::ofstream(dir_ + "/settings") << settings;
  if (!Run("pg_ctl", "-D " + dir_ + "/data -l " + dir_ + "/server.log -w -t 60 -o '" +
                         settings + "' start",
           error)) {
    Stop();
    return false;
  }
  return true;
}

bool PgServer::Restart(std::string* error) {
  std::ifstream in(dir_ + "/settings");
  std::string settings((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return Run("pg_ctl", "-D " + dir_ + "/data -l " + dir_ + "/server.log -w -t 60 -m fast -o '" +
                           settings + "' restart",
             error);
}

void PgServer::Stop() {
  if (!running() || getpid() != owner_) return;
  std::string ignored;
  if (access((dir_ + "/data/postmaster.pid").c_str(), F_OK) == 0) {
    Run("pg_ctl", "-D " + dir_ + "/data -w -t 60 -m fast stop", &ignored);
  }
  std::string remove = "rm -rf " + dir_;
  if (system(remove.c_str()) != 0) {
    // Left in /tmp; nothing else depends on it.
  }
  dir_.clear();
}

std::string PgServer::Uri(const std::string& database) const {
  return "postgresql:///" + database + "?host=" + dir_ + "&user=postgres";
}

std::string PgServer::SchemaUri(const std::string& schema) const {
  return Uri() + "&options=-csearch_path%3D" + schema;
}

bool PgServer::Sql(const std::string& sql, std::string* error, std::string* value) const {
  return SqlOn(Uri(), sql, error, value);
}

bool PgServer::SqlOn(const std::string& uri, const std::string& sql, std::string* error,
                     std::string* value) const {
  PGconn* conn = PQconnectdb(uri.c_str());
  if (PQstatus(conn) != CONNECTION_OK) {
    *error = PQerrorMessage(conn);
    PQfinish(conn);
    return false;
  }
  PQsetNoticeProcessor(conn, [](void*, const char*) {}, nullptr);
  PGresult* result = PQexec(conn, sql.c_str());
  ExecStatusType status = PQresultStatus(result);
  bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
  if (!ok) *error = sql + ": " + PQresultErrorMessage(result);
  if (ok && value != nullptr) {
    *value = PQntuples(result) > 0 && PQnfields(result) > 0 ? PQgetvalue(result, 0, 0) : "";
  }
  PQclear(result);
  PQfinish(conn);
  return ok;
}

PgServer* PgServer::Shared(std::string* error) {
  static PgServer* server = nullptr;
  static std::string failure;
  if (server == nullptr && failure.empty()) {
    PgServer* fresh = new PgServer();
    if (fresh->Start(false, &failure)) {
      server = fresh;
      atexit([] { server->Stop(); });
    } else {
      delete fresh;
    }
  }
  if (server == nullptr) *error = failure;
  return server;
}

}  // namespace testing
}  // namespace corkwall
