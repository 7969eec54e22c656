// The plug-ins in process against raw SQLite doing the named work on the same
// store file, measured side by side in one run (Google Benchmark, repetitions
// interleaved at random, medians compared):
//
//   page     fnTvx GET of a board page of 20 posts, against one SELECT of the
//            same 20 rows, each row's bytes copied out, plus one memcpy of as
//            many bytes as the page has (the board holds 10,020 posts, and
//            its page at row=10000 is checked against raw SQLite's OFFSET;
//            deep pages at scale are scale_bench's);
//   post     fnTvx POST of one post, durable, against one INSERT of the same
//            bytes in its own transaction, in the same journal mode and with
//            the same synchronous setting as the store's connections;
//   catalog  fnTvx of the administration page listing 200 databases, against
//            one SELECT of the same 200 rows.
//
// And with the store on a PostgreSQL server that the bench starts for itself
// (a new cluster in a temporary folder on disk, fsync on), against raw libpq
// on its own connection to the same server:
//
//   pg page  fnTvx GET of a board page of 20 posts, against one SELECT of the
//            same 20 rows, each row's bytes copied out, plus one memcpy of as
//            many bytes as the page has (wall time: the work is the server's);
//   pg post  fnTvx POST of one post, durable, against one INSERT of the same
//            bytes in its own transaction (synchronous_commit on).
//
// Every store is filled through the plug-ins themselves (POSTs), so the bytes
// are the product's own. The stores live on disk in the work folder, so that
// durable writes really reach the disk.
//
// Usage: plugin_bench [--work=DIR] [--corkwall=PATH] [--corkwarden=PATH]
//                     [--rows=FILE] [benchmark flags]
// --rows writes the table's rows (tab-separated: figure, measured, baseline,
// ratio, target, met) for scripts/bench.
#include <benchmark/benchmark.h>
#include <endian.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ceplatform.h"
#include "pg_server.h"
#include "bench_support.h"
#include "tvx_library.h"

#ifndef CORKWALL_PLUGIN_PATH
#define CORKWALL_PLUGIN_PATH "board/corkwall.tvx"
#endif
#ifndef CORKWARDEN_PLUGIN_PATH
#define CORKWARDEN_PLUGIN_PATH "admin/corkwarden.tvx"
#endif
#ifndef PLUGIN_BENCH_WORK
#define PLUGIN_BENCH_WORK "plugin_bench.work"
#endif

namespace {

constexpr int kPagePosts = 20;
constexpr int kDeepRow = 10000;
constexpr int kBoardPosts = kDeepRow + kPagePosts;
constexpr int kCatalogDatabases = 200;
// Raw inserts take identifiers far above any the store hands out in a run.
constexpr sqlite3_int64 kRawOidBase = 0x70000000;

const char kBoardScript[] = "/bbs/board.tvx";
const char kPostScript[] = "/bbs/post.tvx";
const char kAdminScript[] = "/admin/corkwarden.tvx";

struct Setup {
  std::string work;
  std::string corkwall_path = CORKWALL_PLUGIN_PATH;
  std::string corkwarden_path = CORKWARDEN_PLUGIN_PATH;
  std::string rows_path;
  std::string board_store;
  std::string catalog_store;
  std::string post_store;
  std::unique_ptr<TvxLibrary> corkwall;
  std::unique_ptr<TvxLibrary> corkwarden;
  bool on_tmpfs = false;
  size_t page_bytes = 0;       // response of the first page
  size_t post_html_bytes = 0;  // mean stored record of the board
  sqlite3_int64 board_db = 0;
  sqlite3_int64 post_db = 0;
  std::string post_key;    // k0 and props of a record the plug-in wrote
  std::string post_props;
  int post_serial = 0;
};

Setup g;



void Post(const char* script, int serial) {
  std::string response;
  Call(*g.corkwall, "POST", script, "", PostBody(serial), &response);
  if (response.compare(0, 10, "Location: ") != 0) {
    Die(std::string("a post to ") + script + " was refused: " + response.substr(0, 300));
  }
}



const char kBoardOrder[] =
    "SELECT oid, props FROM records WHERE db = ?1 AND k0 IS NOT NULL ORDER BY k0 DESC, oid DESC";

// The rows of the board in its order, from `offset` on, each copied out.
struct RawRow {
  sqlite3_int64 oid;
  std::string props;
};
std::vector<RawRow> ReadRows(Raw* raw, sqlite3_int64 db, int offset, int count) {
  std::string sql = std::string(kBoardOrder) + " LIMIT ?2 OFFSET ?3";
  sqlite3_stmt* s = raw->Prepare(sql.c_str());
  sqlite3_bind_int64(s, 1, db);
  sqlite3_bind_int(s, 2, count);
  sqlite3_bind_int(s, 3, offset);
  std::vector<RawRow> rows;
  while (sqlite3_step(s) == SQLITE_ROW) {
    RawRow row;
    row.oid = sqlite3_column_int64(s, 0);
    row.props.assign(static_cast<const char*>(sqlite3_column_blob(s, 1)),
                     static_cast<size_t>(sqlite3_column_bytes(s, 1)));
    rows.push_back(row);
  }
  sqlite3_reset(s);
  return rows;
}

// The page shows exactly the posts of these rows (their numbers).
void CheckPageShows(const std::string& page, const std::vector<RawRow>& rows, bool next,
                    const char* what) {
  if (rows.size() != static_cast<size_t>(kPagePosts)) Die(std::string(what) + ": too few rows");
  if (Count(page, "<BLOCKQUOTE>") != static_cast<size_t>(kPagePosts)) {
    Die(std::string(what) + ": the page does not show 20 posts:\n" + page.substr(0, 2000));
  }
  if ((page.find(">NEXT</A>") != std::string::npos) != next) {
    Die(std::string(what) + (next ? ": no NEXT link" : ": a NEXT link past the last post"));
  }
  for (const RawRow& row : rows) {
    size_t at = row.props.find("post ");
    if (at == std::string::npos) Die(std::string(what) + ": a row without its post number");
    std::string marker = row.props.substr(at, 10);
    if (page.find(marker) == std::string::npos) {
      Die(std::string(what) + ": the page lacks " + marker + ", which raw SQLite reads");
    }
  }
}


// ---- Filling the stores through the plug-ins --------------------------------

void Prepare() {
  mkdir(g.work.c_str(), 0755);
  g_document_root = g.work + "/www";
  mkdir(g_document_root.c_str(), 0755);
  mkdir((g_document_root + "/bbs").c_str(), 0755);
  mkdir((g_document_root + "/admin").c_str(), 0755);
  g.on_tmpfs = OnTmpfs(g.work);
  if (g.on_tmpfs) {
    fprintf(stderr, "plugin_bench: warning: %s is on tmpfs; durable writes reach no disk\n",
            g.work.c_str());
  }
  std::string error;
  g.corkwall = TvxLibrary::Open(g.corkwall_path, &error);
  if (!g.corkwall) Die("cannot load " + g.corkwall_path + ": " + error);
  g.corkwarden = TvxLibrary::Open(g.corkwarden_path, &error);
  if (!g.corkwarden) Die("cannot load " + g.corkwarden_path + ": " + error);

  g.board_store = g.work + "/board.db";
  g.catalog_store = g.work + "/catalog.db";
  g.post_store = g.work + "/post.db";
  for (const std::string* path : {&g.board_store, &g.catalog_store, &g.post_store}) {
    RemoveStore(*path);
  }

  // The large board is filled in one go on a scratch file on tmpfs when there
  // is one (10,020 synced commits would take most of a minute), then moved
  // next to the others: the bytes are the plug-in's either way.
  std::string scratch = g.board_store;
  struct stat shm;
  if (stat("/dev/shm", &shm) == 0 && OnTmpfs("/dev/shm") && access("/dev/shm", W_OK) == 0) {
    scratch = "/dev/shm/plugin_bench." + std::to_string(getpid()) + ".db";
    RemoveStore(scratch);
  }
  fprintf(stderr, "plugin_bench: posting %d posts to %s ...\n", kBoardPosts, kBoardScript);
  UseStore(scratch);
  for (int i = 0; i < kBoardPosts; ++i) Post(kBoardScript, i);
  PlatformCloseStore();  // checkpoints the log into the file
  if (scratch != g.board_store) {
    std::string command = "cp '" + scratch + "' '" + g.board_store + "'";
    if (system(command.c_str()) != 0) Die("cannot copy " + scratch + " to " + g.board_store);
    RemoveStore(scratch);
  }

  fprintf(stderr, "plugin_bench: creating %d boards of one post ...\n", kCatalogDatabases);
  UseStore(g.catalog_store);
  for (int i = 0; i < kCatalogDatabases; ++i) {
    char script[32];
    snprintf(script, sizeof(script), "/bbs/b%03d.tvx", i);
    Post(script, i);
  }
  UseStore(g.post_store);
  Post(kPostScript, 0);
  PlatformCloseStore();

  // The board: the pages show what raw SQLite reads, in the same order, over
  // the index the store reads by.
  {
    Raw raw(g.board_store);
    g.board_db = DatabaseId(&raw, "TULVAN_board.tvx");
    std::string plan = raw.Plan(std::string(kBoardOrder));
    if (plan.find("records_k0") == std::string::npos) {
      Die("raw SQLite does not read the board over records_k0:\n" + plan);
    }
    std::string count = raw.Text("SELECT count(*) FROM records");
    if (atoi(count.c_str()) != kBoardPosts) Die("the board holds " + count + " posts");
    sqlite3_stmt* s = raw.Prepare("SELECT avg(length(props)) FROM records");
    if (sqlite3_step(s) == SQLITE_ROW) {
      g.post_html_bytes = static_cast<size_t>(sqlite3_column_double(s, 0));
    }
    sqlite3_reset(s);

    UseStore(g.board_store);
    std::string page;
    Call(*g.corkwall, "GET", kBoardScript, "", "", &page);
    CheckPageShows(page, ReadRows(&raw, g.board_db, 0, kPagePosts), true, "first page");
    g.page_bytes = page.size();
    Call(*g.corkwall, "GET", kBoardScript, "row=" + std::to_string(kDeepRow), "", &page);
    CheckPageShows(page, ReadRows(&raw, g.board_db, kDeepRow, kPagePosts), false,
                   "page at row=10000");
  }
  {
    Raw raw(g.catalog_store);
    std::string count = raw.Text("SELECT count(*) FROM databases");
    if (atoi(count.c_str()) != kCatalogDatabases) Die("the store holds " + count + " databases");
    UseStore(g.catalog_store);
    std::string page;
    Call(*g.corkwarden, "GET", kAdminScript, "", "", &page);
    if (Count(page, "<tr bgcolor=\"#CCCCFF\">") != static_cast<size_t>(kCatalogDatabases)) {
      Die("the catalogue does not list 200 boards:\n" + page.substr(0, 2000));
    }
  }
  {
    // The bytes of the post the plug-in wrote, for the raw inserts.
    Raw raw(g.post_store);
    g.post_db = DatabaseId(&raw, "TULVAN_post.tvx");
    FirstRecord(&raw, g.post_db, &g.post_key, &g.post_props);
    std::string mode = raw.Text("PRAGMA journal_mode");
    if (mode != "wal") Die("the store is not in WAL mode but " + mode);
  }
}

// ---- The plug-ins --------------------------------------------------------------

void BM_PluginPage(benchmark::State& state) {
  UseStore(g.board_store);
  Call(*g.corkwall, "GET", kBoardScript, "", "", nullptr);
  for (auto _ : state) {
    int length = Call(*g.corkwall, "GET", kBoardScript, "", "", nullptr);
    benchmark::DoNotOptimize(length);
  }
}

void BM_PluginCatalog(benchmark::State& state) {
  UseStore(g.catalog_store);
  Call(*g.corkwarden, "GET", kAdminScript, "", "", nullptr);
  for (auto _ : state) {
    int length = Call(*g.corkwarden, "GET", kAdminScript, "", "", nullptr);
    benchmark::DoNotOptimize(length);
  }
}

// ---- Raw SQLite ----------------------------------------------------------------

void BM_RawPage(benchmark::State& state) {
  Raw raw(g.board_store);
  std::string sql = std::string(kBoardOrder) + " LIMIT 20";
  sqlite3_stmt* s = raw.Prepare(sql.c_str());
  std::vector<char> source(g.page_bytes, 'x'), page(g.page_bytes);
  for (auto _ : state) {
    sqlite3_bind_int64(s, 1, g.board_db);
    int rows = 0;
    while (sqlite3_step(s) == SQLITE_ROW) {
      size_t size = static_cast<size_t>(sqlite3_column_bytes(s, 1));
      void* copy = malloc(size);
      memcpy(copy, sqlite3_column_blob(s, 1), size);
      benchmark::DoNotOptimize(copy);
      free(copy);
      ++rows;
    }
    sqlite3_reset(s);
    memcpy(page.data(), source.data(), page.size());
    benchmark::DoNotOptimize(page.data());
    benchmark::ClobberMemory();
    if (rows != kPagePosts) state.SkipWithError("the raw page did not read 20 rows");
  }
}

// A durable write's time follows the disk's, which changes from one moment
// to the next. So the plug-in's post and the raw insert take turns within
// one benchmark, each timed on its own (and each going first every other
// time), and both sides meet the same disk: the counters "plugin" and "raw"
// are the microseconds per write of each.
template <class RawInsert>
void RunPostPairs(benchmark::State& state, const char* script, RawInsert* raw) {
  using Clock = std::chrono::steady_clock;
  Post(script, ++g.post_serial);
  std::string error;
  if (!raw->Step(&error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  double plugin_ns = 0, raw_ns = 0;
  bool plugin_first = true;
  for (auto _ : state) {
    state.PauseTiming();
    std::string body = PostBody(++g.post_serial);
    state.ResumeTiming();
    for (int turn = 0; turn < 2; ++turn) {
      Clock::time_point start = Clock::now();
      if ((turn == 0) == plugin_first) {
        int length = Call(*g.corkwall, "POST", script, "", body, nullptr);
        benchmark::DoNotOptimize(length);
        plugin_ns += std::chrono::duration<double, std::nano>(Clock::now() - start).count();
      } else {
        bool ok = raw->Step(&error);
        raw_ns += std::chrono::duration<double, std::nano>(Clock::now() - start).count();
        if (!ok) {
          state.SkipWithError(error.c_str());
          return;
        }
      }
    }
    plugin_first = !plugin_first;
  }
  state.counters["plugin"] =
      benchmark::Counter(plugin_ns / 1000, benchmark::Counter::kAvgIterations);
  state.counters["raw"] = benchmark::Counter(raw_ns / 1000, benchmark::Counter::kAvgIterations);
}

void BM_PostPairs(benchmark::State& state) {
  UseStore(g.post_store);
  RawSqliteInsert raw(g.post_store, g.post_db, g.post_key, g.post_props, kRawOidBase);
  RunPostPairs(state, kPostScript, &raw);
}

void BM_RawCatalog(benchmark::State& state) {
  Raw raw(g.catalog_store);
  sqlite3_stmt* s = raw.Prepare(
      "SELECT oid, name, type, flags, sorts, modified, records, size FROM databases ORDER BY oid");
  std::vector<DatabaseRowCopy> rows(kCatalogDatabases);
  for (auto _ : state) {
    size_t n = CopyDatabaseRows(s, &rows);
    benchmark::DoNotOptimize(rows.data());
    if (n != static_cast<size_t>(kCatalogDatabases)) state.SkipWithError("not 200 rows");
  }
}

// ---- PostgreSQL ------------------------------------------------------------------

struct PgSide {
  corkwall::testing::PgServer server;
  std::string uri;
  std::string board_db, post_db;  // identifiers, as 8-byte big-endian parameters
  std::string post_key, post_props;
  bool ready = false;
};
PgSide pg;

PGconn* RawPg() {
  PGconn* conn = PQconnectdb(pg.uri.c_str());
  if (PQstatus(conn) != CONNECTION_OK) Die(std::string("raw libpq: ") + PQerrorMessage(conn));
  return conn;
}

std::string BigEndian(long long value) {
  uint64_t big = htobe64(static_cast<uint64_t>(value));
  return std::string(reinterpret_cast<const char*>(&big), 8);
}

// A query with binary parameters and results; dies on failure.
PGresult* PgQuery(PGconn* conn, const char* sql, const std::vector<const std::string*>& params) {
  std::vector<const char*> values;
  std::vector<int> lengths, formats;
  for (const std::string* p : params) {
    values.push_back(p->data());
    lengths.push_back(static_cast<int>(p->size()));
    formats.push_back(1);
  }
  PGresult* result = PQexecParams(conn, sql, static_cast<int>(params.size()), nullptr,
                                  values.data(), lengths.data(), formats.data(), 1);
  ExecStatusType status = PQresultStatus(result);
  if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
    Die(std::string(sql) + ": " + PQresultErrorMessage(result));
  }
  return result;
}

std::string PgDatabaseId(PGconn* conn, const std::string& name) {
  std::u16string wide(name.begin(), name.end());
  std::string bytes(reinterpret_cast<const char*>(wide.data()), wide.size() * 2);
  PGresult* result = PgQuery(conn, "SELECT oid FROM databases WHERE name = $1", {&bytes});
  if (PQntuples(result) != 1) Die("no database " + name + " on the server");
  std::string oid(PQgetvalue(result, 0, 0), 8);
  PQclear(result);
  return oid;
}

const char kPgPage[] =
    "SELECT oid, props FROM records WHERE db = $1 AND k0 IS NOT NULL"
    " ORDER BY k0 DESC, oid DESC LIMIT 20";

// Fills a board and a post board on the server through the plug-in. Without
// a server the PostgreSQL rows say "not measured".
void PreparePg() {
  std::string error;
  if (!pg.server.Start(true, &error) || !pg.server.Sql("CREATE DATABASE bench", &error)) {
    fprintf(stderr, "plugin_bench: no PostgreSQL rows: %s\n", error.c_str());
    return;
  }
  pg.uri = pg.server.Uri("bench");
  fprintf(stderr, "plugin_bench: posting to a store on PostgreSQL ...\n");
  UseStore(pg.uri);
  for (int i = 0; i <= kPagePosts; ++i) Post(kBoardScript, i);
  Post(kPostScript, 0);
  PGconn* raw = RawPg();
  pg.board_db = PgDatabaseId(raw, "TULVAN_board.tvx");
  pg.post_db = PgDatabaseId(raw, "TULVAN_post.tvx");
  PGresult* rows = PgQuery(raw, kPgPage, {&pg.board_db});
  std::vector<RawRow> shown;
  for (int i = 0; i < PQntuples(rows); ++i) {
    shown.push_back({0, std::string(PQgetvalue(rows, i, 1), PQgetlength(rows, i, 1))});
  }
  PQclear(rows);
  std::string page;
  Call(*g.corkwall, "GET", kBoardScript, "", "", &page);
  CheckPageShows(page, shown, true, "first page on PostgreSQL");
  PGresult* post = PgQuery(raw, "SELECT k0, props FROM records WHERE db = $1 LIMIT 1",
                           {&pg.post_db});
  if (PQntuples(post) != 1) Die("the post board on PostgreSQL holds no post");
  pg.post_key.assign(PQgetvalue(post, 0, 0), PQgetlength(post, 0, 0));
  pg.post_props.assign(PQgetvalue(post, 0, 1), PQgetlength(post, 0, 1));
  PQclear(post);
  PQfinish(raw);
  PlatformCloseStore();
  pg.ready = true;
}

void BM_PgPluginPage(benchmark::State& state) {
  UseStore(pg.uri);
  Call(*g.corkwall, "GET", kBoardScript, "", "", nullptr);
  for (auto _ : state) {
    int length = Call(*g.corkwall, "GET", kBoardScript, "", "", nullptr);
    benchmark::DoNotOptimize(length);
  }
}

void BM_PgRawPage(benchmark::State& state) {
  PGconn* raw = RawPg();
  PQclear(PQprepare(raw, "page", kPgPage, 0, nullptr));
  std::vector<char> source(g.page_bytes, 'x'), page(g.page_bytes);
  const char* values[] = {pg.board_db.data()};
  const int lengths[] = {8}, formats[] = {1};
  for (auto _ : state) {
    PGresult* result = PQexecPrepared(raw, "page", 1, values, lengths, formats, 1);
    int rows = PQntuples(result);
    for (int i = 0; i < rows; ++i) {
      size_t size = static_cast<size_t>(PQgetlength(result, i, 1));
      void* copy = malloc(size);
      memcpy(copy, PQgetvalue(result, i, 1), size);
      benchmark::DoNotOptimize(copy);
      free(copy);
    }
    PQclear(result);
    memcpy(page.data(), source.data(), page.size());
    benchmark::DoNotOptimize(page.data());
    benchmark::ClobberMemory();
    if (rows != kPagePosts) state.SkipWithError("the raw page did not read 20 rows");
  }
  PQfinish(raw);
}

// The baseline of a post on PostgreSQL: the record bytes the plug-in wrote,
// inserted by a prepared statement committed on its own.
class RawPgInsert {
 public:
  RawPgInsert() : conn_(RawPg()) {
    PQclear(PQprepare(conn_, "insert",
                      "INSERT INTO records(oid, db, k0, k1, k2, k3, props)"
                      " VALUES($1, $2, $3, NULL, NULL, NULL, $4)",
                      0, nullptr));
  }
  ~RawPgInsert() { PQfinish(conn_); }

  bool Step(std::string* error) {
    static long long oid = kRawOidBase;
    std::string id = BigEndian(++oid);
    const char* values[] = {id.data(), pg.post_db.data(), pg.post_key.data(),
                            pg.post_props.data()};
    const int lengths[] = {8, 8, static_cast<int>(pg.post_key.size()),
                           static_cast<int>(pg.post_props.size())};
    const int formats[] = {1, 1, 1, 1};
    PGresult* result = PQexecPrepared(conn_, "insert", 4, values, lengths, formats, 1);
    bool ok = PQresultStatus(result) == PGRES_COMMAND_OK;
    if (!ok) *error = PQresultErrorMessage(result);
    PQclear(result);
    return ok;
  }

 private:
  PGconn* conn_;
};

void BM_PgPostPairs(benchmark::State& state) {
  UseStore(pg.uri);
  RawPgInsert raw;
  RunPostPairs(state, kPostScript, &raw);
}


std::vector<Row> Rows(const MedianReporter& reporter) {
  auto cpu = [&](const char* name) {
    const MedianReporter::Figure* f = reporter.Find(name);
    return f != nullptr ? f->cpu_us : -1.0;
  };
  auto real = [&](const char* name) {
    const MedianReporter::Figure* f = reporter.Find(name);
    return f != nullptr ? f->real_us : -1.0;
  };
  auto counter = [&](const char* name, const char* which) {
    const MedianReporter::Figure* f = reporter.Find(name);
    if (f == nullptr) return -1.0;
    auto it = f->counters.find(which);
    return it != f->counters.end() ? it->second : -1.0;
  };
  std::vector<Row> rows;
  char what[160];
  snprintf(what, sizeof(what), "fnTvx GET, board page of 20 posts (%zu B each, page %zu B), CPU",
           g.post_html_bytes, g.page_bytes);
  rows.push_back(TimeRow(what, cpu("PluginPage"), cpu("RawPage"),
                         "(raw SELECT of the 20 rows + memcpy of the page)", "%.1f us", 2.0));

  rows.push_back(TimeRow(g.on_tmpfs ? "fnTvx POST of one post, durable (ON TMPFS), wall"
                                    : "fnTvx POST of one post, durable, wall",
                         counter("PostPairs", "plugin"), counter("PostPairs", "raw"),
                         "(raw INSERT of the same bytes, own transaction, WAL, synchronous=FULL)",
                         "%.1f us", 1.25));
  rows.push_back(TimeRow("corkwarden catalogue of 200 databases, CPU", cpu("PluginCatalog"),
                         cpu("RawCatalog"), "(raw SELECT of the 200 database rows)", "%.1f us",
                         3.0));
  rows.push_back(TimeRow("PostgreSQL: fnTvx GET, board page of 20 posts, wall", real("PgPluginPage"),
                         real("PgRawPage"),
                         "(raw libpq SELECT of the 20 rows + memcpy of the page)", "%.1f us",
                         2.0));
  rows.push_back(TimeRow("PostgreSQL: fnTvx POST of one post, durable, wall",
                         counter("PgPostPairs", "plugin"), counter("PgPostPairs", "raw"),
                         "(raw libpq INSERT of the same bytes, own transaction,"
                         " synchronous_commit on)",
                         "%.1f us", 1.25));
  return rows;
}

}  // namespace

int main(int argc, char** argv) {
  g.work = PLUGIN_BENCH_WORK;
  TakeFlag(&argc, argv, "--work", &g.work);
  TakeFlag(&argc, argv, "--corkwall", &g.corkwall_path);
  TakeFlag(&argc, argv, "--corkwarden", &g.corkwarden_path);
  TakeFlag(&argc, argv, "--rows", &g.rows_path);
  if (AnswerHelp(argc, argv,
                 "Usage: plugin_bench [--work=DIR] [--corkwall=PATH] [--corkwarden=PATH]\n"
                 "                    [--rows=FILE] [benchmark flags]\n"
                 "The plug-ins in process against raw SQLite on the same store files.\n"
                 "  --work=DIR   where the store files go (default %s);\n"
                 "               keep it on a disk, not tmpfs, so that durable writes sync\n"
                 "  --rows=FILE  also write the table's rows there, tab-separated\n"
                 "Defaults: 5 repetitions, interleaved at random, medians compared.\n",
                 PLUGIN_BENCH_WORK)) {
    return 0;
  }
  if (!StartBenchmarks(argc, argv)) return 2;

  Prepare();
  PreparePg();

  using benchmark::RegisterBenchmark;
  using benchmark::kMicrosecond;
  RegisterBenchmark("PluginPage", BM_PluginPage)->Unit(kMicrosecond);
  RegisterBenchmark("RawPage", BM_RawPage)->Unit(kMicrosecond);
  RegisterBenchmark("PostPairs", BM_PostPairs)->Unit(kMicrosecond)->UseRealTime();
  RegisterBenchmark("PluginCatalog", BM_PluginCatalog)->Unit(kMicrosecond);
  RegisterBenchmark("RawCatalog", BM_RawCatalog)->Unit(kMicrosecond);
  if (pg.ready) {
    RegisterBenchmark("PgPluginPage", BM_PgPluginPage)->Unit(kMicrosecond)->UseRealTime();
    RegisterBenchmark("PgRawPage", BM_PgRawPage)->Unit(kMicrosecond)->UseRealTime();
    RegisterBenchmark("PgPostPairs", BM_PgPostPairs)->Unit(kMicrosecond)->UseRealTime();
  }

  MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  PlatformCloseStore();
  pg.server.Stop();

  return ReportRows(Rows(reporter), g.rows_path);
}
