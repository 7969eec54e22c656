#include "bench_support.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "ceplatform.h"
#include "wince.h"

std::string g_document_root;

[[noreturn]] void Die(const std::string& why) {
  fprintf(stderr, "%s: %s\n", program_invocation_short_name, why.c_str());
  exit(1);
}
// The variables tvxhost sets for a request from wrk or curl on loopback
// (host/cgi_variables.cc), set in one go as tvxhost does, and the body.
void BuildRequest(TvxRequest* request, const char* method, const char* script,
                  const std::string& query, const std::string& body) {
  std::string uri = std::string(script) + (query.empty() ? "" : "?" + query);
  std::vector<std::pair<std::string, std::string>> variables = {
      {"GATEWAY_INTERFACE", "CGI/1.1"}, {"SERVER_SOFTWARE", "tvxhost"},
      {"SERVER_NAME", "127.0.0.1"},     {"SERVER_PORT", "8080"},
      {"SERVER_PROTOCOL", "HTTP/1.1"},  {"REQUEST_METHOD", method},
      {"REQUEST_URI", uri},             {"SCRIPT_NAME", script},
      {"DOCUMENT_ROOT", g_document_root}, {"QUERY_STRING", query},
      {"REMOTE_ADDR", "127.0.0.1"},     {"REMOTE_PORT", "40000"}};
  if (strcmp(method, "POST") == 0) {
    variables.emplace_back("CONTENT_TYPE", "application/x-www-form-urlencoded");
    variables.emplace_back("CONTENT_LENGTH", std::to_string(body.size()));
  }
  variables.emplace_back("HTTP_HOST", "127.0.0.1:8080");
  variables.emplace_back("HTTP_USER_AGENT", "plugin_bench");
  variables.emplace_back("HTTP_ACCEPT", "*/*");
  bool ok = request->SetAll(variables);
  if (ok && !body.empty()) ok = request->SetBody(body);
  if (!ok) Die("out of memory building a request");
}

// One call; returns fnTvx's result. The response goes to *response when given.
int Call(const TvxLibrary& library, const char* method, const char* script,
         const std::string& query, const std::string& body, std::string* response) {
  TvxRequest request;
  BuildRequest(&request, method, script, query, body);
  int length = request.Run(library);
  if (response != nullptr) *response = request.Response();
  return length;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}
bool OnTmpfs(const std::string& path) {
  struct statfs info;
  return statfs(path.c_str(), &info) == 0 && info.f_type == 0x01021994;  // TMPFS_MAGIC
}

void RemoveStore(const std::string& path) {
  for (const char* suffix : {"", "-wal", "-shm"}) unlink((path + suffix).c_str());
}

void UseStore(const std::string& path) {
  if (strcmp(PlatformStorePath(), path.c_str()) == 0) return;
  if (!PlatformSetStorePath(path.c_str())) Die("cannot use store " + path);
}
std::string Format(const char* format, double value) {
  char text[64];
  snprintf(text, sizeof(text), format, value);
  return text;
}

// A row comparing times: met when measured / baseline <= limit.
Row TimeRow(const std::string& figure, double measured, double baseline,
            const std::string& baseline_what, const char* unit_format, double limit) {
  Row row;
  row.figure = figure;
  row.target = Format("<= %.2fx", limit);
  if (measured <= 0 || baseline <= 0) {
    row.measured = measured > 0 ? Format(unit_format, measured) : "not measured";
    row.baseline = baseline > 0 ? Format(unit_format, baseline) : "not measured";
    row.ratio = "-";
    row.met = "no";
    return row;
  }
  row.measured = Format(unit_format, measured);
  row.baseline = Format(unit_format, baseline) + " " + baseline_what;
  double ratio = measured / baseline;
  row.ratio = Format("%.2fx", ratio);
  row.met = ratio <= limit ? "yes" : "no";
  return row;
}
Row RateRow(const std::string& figure, double measured, double baseline,
            const std::string& baseline_what, const char* unit_format, double target) {
  // The same row as for times, turned round: baseline / measured <= 1 / target.
  Row row = TimeRow(figure, measured, baseline, baseline_what, unit_format, 1.0 / target);
  row.target = Format(">= %.2fx", target);
  if (measured > 0 && baseline > 0) {
    row.ratio = Format("%.2fx", measured / baseline);
    row.met = measured / baseline >= target ? "yes" : "no";
  }
  return row;
}

namespace {

void PrintRows(const std::vector<Row>& rows, FILE* out, bool tabs) {
  for (const Row& row : rows) {
    if (tabs) {
      fprintf(out, "%s\t%s\t%s\t%s\t%s\t%s\n", row.figure.c_str(), row.measured.c_str(),
              row.baseline.c_str(), row.ratio.c_str(), row.target.c_str(), row.met.c_str());
    } else {
      fprintf(out, "%-70s %14s  %-16s %8s %9s %4s\n", row.figure.c_str(), row.measured.c_str(),
              row.baseline.substr(0, row.baseline.find(' ', row.baseline.find(' ') + 1)).c_str(),
              row.ratio.c_str(), row.target.c_str(), row.met.c_str());
    }
  }
}

}  // namespace

int ReportRows(const std::vector<Row>& rows, const std::string& path) {
  printf("\n");
  PrintRows(rows, stdout, false);
  if (path.empty()) return 0;
  FILE* out = fopen(path.c_str(), "w");
  if (out == nullptr) {
    perror(path.c_str());
    return 1;
  }
  PrintRows(rows, out, true);
  return fclose(out) != 0 ? 1 : 0;
}

bool TakeFlag(int* argc, char** argv, const char* name, std::string* value) {
  size_t length = strlen(name);
  for (int i = 1; i < *argc; ++i) {
    if (strncmp(argv[i], name, length) == 0 && argv[i][length] == '=') {
      *value = argv[i] + length + 1;
      for (int j = i; j + 1 < *argc; ++j) argv[j] = argv[j + 1];
      --*argc;
      return true;
    }
  }
  return false;
}

sqlite3_int64 DatabaseId(Raw* raw, const std::string& name) {
  std::u16string wide(name.begin(), name.end());
  sqlite3_stmt* s = raw->Prepare("SELECT oid FROM databases WHERE name = ?1");
  sqlite3_bind_blob(s, 1, wide.data(), static_cast<int>(wide.size() * 2), SQLITE_TRANSIENT);
  sqlite3_int64 oid = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : 0;
  sqlite3_reset(s);
  if (oid == 0) Die("no database " + name + " in the store");
  return oid;
}

void FirstRecord(Raw* raw, sqlite3_int64 database, std::string* key, std::string* props) {
  sqlite3_stmt* s = raw->Prepare("SELECT k0, props FROM records WHERE db = ?1 LIMIT 1");
  sqlite3_bind_int64(s, 1, database);
  if (sqlite3_step(s) != SQLITE_ROW) Die("the database holds no record");
  key->assign(static_cast<const char*>(sqlite3_column_blob(s, 0)),
              static_cast<size_t>(sqlite3_column_bytes(s, 0)));
  props->assign(static_cast<const char*>(sqlite3_column_blob(s, 1)),
                static_cast<size_t>(sqlite3_column_bytes(s, 1)));
  sqlite3_reset(s);
}

RawSqliteInsert::RawSqliteInsert(const std::string& path, sqlite3_int64 database,
                                 const std::string& key, const std::string& props,
                                 sqlite3_int64 first_oid)
    : raw_(path), database_(database), key_(key), props_(props) {
  begin_ = raw_.Prepare("BEGIN IMMEDIATE");
  commit_ = raw_.Prepare("COMMIT");
  insert_ = raw_.Prepare(
      "INSERT INTO records(oid, db, k0, k1, k2, k3, props)"
      " VALUES(?1, ?2, ?3, NULL, NULL, NULL, ?4)");
  sqlite3_stmt* top = raw_.Prepare("SELECT max(oid) FROM records");
  sqlite3_step(top);
  oid_ = std::max<sqlite3_int64>(first_oid, sqlite3_column_int64(top, 0));
  sqlite3_reset(top);
}

bool RawSqliteInsert::Step(std::string* error) {
  if (key_.size() == 9) {
    SYSTEMTIME local;
    FILETIME time = {0, 0};
    GetLocalTime(&local);
    SystemTimeToFileTime(&local, &time);
    uint64_t now = static_cast<uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
    uint64_t last = 0;
    for (int i = 1; i < 9; ++i) last = last << 8 | static_cast<unsigned char>(key_[i]);
    if (now <= last) now = last + 1;
    for (int i = 8; i >= 1; --i, now >>= 8) key_[i] = static_cast<char>(now & 0xFF);
  }
  int rc = sqlite3_step(begin_);
  sqlite3_reset(begin_);
  sqlite3_bind_int64(insert_, 1, ++oid_);
  sqlite3_bind_int64(insert_, 2, database_);
  sqlite3_bind_blob(insert_, 3, key_.data(), static_cast<int>(key_.size()), SQLITE_STATIC);
  sqlite3_bind_blob(insert_, 4, props_.data(), static_cast<int>(props_.size()), SQLITE_STATIC);
  if (rc == SQLITE_DONE) rc = sqlite3_step(insert_);
  sqlite3_reset(insert_);
  if (rc == SQLITE_DONE) rc = sqlite3_step(commit_);
  sqlite3_reset(commit_);
  if (rc == SQLITE_DONE) return true;
  *error = sqlite3_errmsg(raw_.db());
  sqlite3_exec(raw_.db(), "ROLLBACK", nullptr, nullptr, nullptr);
  return false;
}

std::string PostBody(int serial) {
  char subject[32];
  snprintf(subject, sizeof(subject), "post+%05d", serial);
  std::string body = "name=Bench+Poster&email=poster%40example.org&subject=";
  body += subject;
  body += "&body=";
  for (int line = 0; line < 8; ++line) {
    body += "A+line+of+the+post%27s+text%2C+about+fifty+bytes+long.%0D%0A";
  }
  body += "&postitem=1";
  return body;
}

double MonotonicSeconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

size_t CopyDatabaseRows(sqlite3_stmt* s, std::vector<DatabaseRowCopy>* rows) {
  size_t n = 0;
  while (n < rows->size() && sqlite3_step(s) == SQLITE_ROW) {
    DatabaseRowCopy& row = (*rows)[n++];
    row.oid = sqlite3_column_int64(s, 0);
    size_t name = std::min<size_t>(sizeof(row.name), sqlite3_column_bytes(s, 1));
    memcpy(row.name, sqlite3_column_blob(s, 1), name);
    row.type = sqlite3_column_int64(s, 2);
    row.flags = sqlite3_column_int64(s, 3);
    size_t sorts = std::min<size_t>(sizeof(row.sorts), sqlite3_column_bytes(s, 4));
    memcpy(row.sorts, sqlite3_column_blob(s, 4), sorts);
    row.modified = sqlite3_column_int64(s, 5);
    row.records = sqlite3_column_int64(s, 6);
    row.size = sqlite3_column_int64(s, 7);
  }
  sqlite3_reset(s);
  return n;
}

bool StartBenchmarks(int argc, char** argv) {
  static char min_time[] = "--benchmark_min_time=0.2";
  static char repetitions[] = "--benchmark_repetitions=5";
  static char interleave[] = "--benchmark_enable_random_interleaving=true";
  static char aggregates[] = "--benchmark_display_aggregates_only=true";
  std::vector<char*> args = {argv[0], min_time, repetitions, interleave, aggregates};
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  return !benchmark::ReportUnrecognizedArguments(count, args.data());
}

bool AnswerHelp(int argc, char** argv, const char* usage, const char* work) {
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--help") == 0) {
      printf(usage, work);
      return true;
    }
  }
  return false;
}
