#include "bench_support.h"

#include <stdlib.h>
#include <string.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>

#include "ceplatform.h"

std::string g_document_root;

[[noreturn]] void Die(const std::string& why) {
  fprintf(stderr, "plugin_bench: %s\n", why.c_str());
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
