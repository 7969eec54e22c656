// What the benchmark programs share: requests built as tvxhost builds them,
// raw SQLite on a connection of its own, the store to use, and the table of
// rows that scripts/bench collects (tab-separated: figure, measured,
// baseline, ratio, target, met).
#ifndef BENCH_BENCH_SUPPORT_H_
#define BENCH_BENCH_SUPPORT_H_

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdint.h>
#include <stdio.h>

#include <map>
#include <string>
#include <vector>

#include "tvx_library.h"

// The document root of the requests below.
extern std::string g_document_root;

[[noreturn]] void Die(const std::string& why);

// The variables tvxhost sets for a request from wrk or curl on loopback
// (host/cgi_variables.cc), set in one go as tvxhost does, and the body.
void BuildRequest(TvxRequest* request, const char* method, const char* script,
                  const std::string& query, const std::string& body);
// One call; returns fnTvx's result. The response goes to *response when given.
int Call(const TvxLibrary& library, const char* method, const char* script,
         const std::string& query, const std::string& body, std::string* response);

// How many times `what` occurs in `text`.
size_t Count(const std::string& text, const std::string& what);

bool OnTmpfs(const std::string& path);
// An SQLite store file and its log.
void RemoveStore(const std::string& path);
// Makes `path` the process's store, unless it is already.
void UseStore(const std::string& path);

// A connection of its own on one store file, with prepared statements.
class Raw {
 public:
  explicit Raw(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
      Die("cannot open " + path + ": " + sqlite3_errmsg(db_));
    }
    sqlite3_busy_timeout(db_, 5000);
    // The store's connections: WAL, every commit synced.
    Exec("PRAGMA journal_mode=WAL");
    Exec("PRAGMA synchronous=FULL");
  }
  ~Raw() {
    for (sqlite3_stmt* s : statements_) sqlite3_finalize(s);
    sqlite3_close(db_);
  }

  void Exec(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
      Die(std::string(sql) + ": " + sqlite3_errmsg(db_));
    }
  }

  sqlite3_stmt* Prepare(const char* sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK) {
      Die(std::string("cannot prepare ") + sql + ": " + sqlite3_errmsg(db_));
    }
    statements_.push_back(s);
    return s;
  }

  // The text of the first column of the first row, for checks.
  std::string Text(const char* sql) {
    sqlite3_stmt* s = Prepare(sql);
    std::string out;
    if (sqlite3_step(s) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(s, 0);
      if (text != nullptr) out = reinterpret_cast<const char*>(text);
    }
    sqlite3_reset(s);
    return out;
  }

  // The query plan of a statement, one step per line.
  std::string Plan(const std::string& sql) {
    std::string explain = "EXPLAIN QUERY PLAN " + sql;
    sqlite3_stmt* s = Prepare(explain.c_str());
    std::string plan;
    while (sqlite3_step(s) == SQLITE_ROW) {
      plan += reinterpret_cast<const char*>(sqlite3_column_text(s, 3));
      plan += "\n";
    }
    sqlite3_reset(s);
    return plan;
  }

  sqlite3* db() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
  std::vector<sqlite3_stmt*> statements_;
};
// Keeps the median of each benchmark (or its only run without repetitions)
// while the console reporter prints as usual.
class MedianReporter : public benchmark::ConsoleReporter {
 public:
  struct Figure {
    double cpu_us = 0;
    double real_us = 0;
    std::map<std::string, double> counters;
    bool median = false;
    bool error = false;
  };

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      std::string name = run.run_name.function_name;
      Figure& figure = figures_[name];
      if (run.error_occurred) {
        figure.error = true;
        continue;
      }
      bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type == Run::RT_Aggregate && !median) continue;
      if (figure.median && !median) continue;
      // Every benchmark here reports in microseconds.
      figure.cpu_us = run.GetAdjustedCPUTime();
      figure.real_us = run.GetAdjustedRealTime();
      figure.counters.clear();
      for (const auto& counter : run.counters) figure.counters[counter.first] = counter.second;
      figure.median = median;
    }
  }

  const Figure* Find(const std::string& name) const {
    auto it = figures_.find(name);
    return it == figures_.end() || it->second.error ? nullptr : &it->second;
  }

 private:
  std::map<std::string, Figure> figures_;
};

// The database's identifier, looked up by its UTF-16 name as the store
// keeps it; dies when there is none.
sqlite3_int64 DatabaseId(Raw* raw, const std::string& name);

// The sort key and bytes of a record of the database; dies when it holds
// none.
void FirstRecord(Raw* raw, sqlite3_int64 database, std::string* key, std::string* props);

// The baseline of a post on SQLite: given record bytes inserted into one
// database in a transaction of their own, on a connection of their own,
// under identifiers from `first_oid` on (or past the store's highest). A
// board's key (a marker byte and the posting time in 8 bytes) is taken
// anew for each insert from the clock the board reads, as a new post's is,
// so that each insert lands at the top of the order as a post does: the
// store's counted blocks make a long run of records under one key cost
// more and more.
class RawSqliteInsert {
 public:
  RawSqliteInsert(const std::string& path, sqlite3_int64 database, const std::string& key,
                  const std::string& props, sqlite3_int64 first_oid);

  // One insert; false with *error when it failed.
  bool Step(std::string* error);

 private:
  Raw raw_;
  const sqlite3_int64 database_;
  std::string key_;
  const std::string props_;
  sqlite3_stmt* begin_;
  sqlite3_stmt* commit_;
  sqlite3_stmt* insert_;
  sqlite3_int64 oid_ = 0;
};

// The monotonic clock, in seconds.
double MonotonicSeconds();

// A board post's form body: its subject carries its number, so that a page
// can be matched with the rows it shows. The board stores about 600 bytes
// of HTML.
std::string PostBody(int serial);

// One row of the databases table, copied out of SQLite.
struct DatabaseRowCopy {
  sqlite3_int64 oid, type, flags, modified, records, size;
  char name[64];
  char sorts[64];
};
// Steps `statement` (the databases table's columns, in order) into `rows`,
// at most rows->size() of them, and resets it. Returns the rows copied.
size_t CopyDatabaseRows(sqlite3_stmt* statement, std::vector<DatabaseRowCopy>* rows);

// Initializes Google Benchmark from the program's flags after the defaults
// every benchmark program starts from: repetitions interleaved at random, so
// that a noisy moment of the machine falls on both sides of a ratio alike,
// medians only (flags given win). False after reporting an unknown flag.
bool StartBenchmarks(int argc, char** argv);

// Prints `usage` (a printf format with one %s, `work`) and returns true when
// the program was asked for --help.
bool AnswerHelp(int argc, char** argv, const char* usage, const char* work);

struct Row {
  std::string figure, measured, baseline, ratio, target, met;
};

std::string Format(const char* format, double value);
// A row comparing times: met when measured / baseline <= limit.
Row TimeRow(const std::string& figure, double measured, double baseline,
            const std::string& baseline_what, const char* unit_format, double limit);
// A row comparing rates: met when measured / baseline >= target.
Row RateRow(const std::string& figure, double measured, double baseline,
            const std::string& baseline_what, const char* unit_format, double target);
// The rows on stdout, aligned, and in `path` (when not empty) for
// scripts/bench. Returns 1 when the file cannot be written, else 0.
int ReportRows(const std::vector<Row>& rows, const std::string& path);

// Takes --name=value out of argv; true when found.
bool TakeFlag(int* argc, char** argv, const char* name, std::string* value);

#endif  // BENCH_BENCH_SUPPORT_H_
