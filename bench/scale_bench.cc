// The product at size, each figure against a baseline in the same run:
//
//   deep     fnTvx GET of the last page of a board of 1,000,000 posts against
//            the GET of its first page (CPU); and, for reference, pages at rows
//            spread over the whole board, a different one each call;
//   many     the catalogue page of a store of 40,000 boards against one SELECT
//            of their 40,000 rows, and a board's first page in that store
//            against the same board's page in a store of 10 boards (CPU);
//   export   tvxstore export of the 1,000,000 posts: its peak memory, and its
//            time against a raw SELECT of the rows by the sqlite3 program
//            (SELECT * FROM records into /dev/null), and, for reference,
//            against one in-process SELECT of the rows in the board's order,
//            each row's bytes copied out (wall).
//
// The stores are made anew in each run by boardfill, in bulk through the
// store's own write of a whole store (the path of copy and restore), in the
// work folder.
//
// Usage: scale_bench [--work=DIR] [--boardfill=PATH] [--tvxstore=PATH]
//                    [--sqlite3=PATH] [--posts=N] [--boards=N] [--rows=FILE]
//                    [benchmark flags]
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "bench_support.h"
#include "ceplatform.h"

#ifndef SCALE_BENCH_WORK
#define SCALE_BENCH_WORK "scale_bench.work"
#endif
#ifndef BOARDFILL_PATH
#define BOARDFILL_PATH "tools/boardfill"
#endif
#ifndef TVXSTORE_PATH
#define TVXSTORE_PATH "tools/tvxstore"
#endif
#ifndef CORKWALL_PLUGIN_PATH
#define CORKWALL_PLUGIN_PATH "board/corkwall.tvx"
#endif
#ifndef CORKWARDEN_PLUGIN_PATH
#define CORKWARDEN_PLUGIN_PATH "admin/corkwarden.tvx"
#endif

namespace {

const char kBoardScript[] = "/bbs/board.tvx";
const char kAdminScript[] = "/admin/corkwarden.tvx";
// The board measured in the store of many boards and in the store of few.
const char kManyScript[] = "/bbs/b00005.tvx";
constexpr int kFewBoards = 10;
// Rows of the reference row: spread over the board, a different one each call.
constexpr int kSpreadRows = 97;

struct Setup {
  std::string work = SCALE_BENCH_WORK;
  std::string boardfill = BOARDFILL_PATH;
  std::string tvxstore = TVXSTORE_PATH;
  std::string sqlite3 = "/usr/bin/sqlite3";
  std::string rows_path;
  long posts = 1000000;
  long boards = 40000;
  std::string deep_store, many_store, few_store;
  std::unique_ptr<TvxLibrary> corkwall, corkwarden;
  double export_seconds = -1;
  double export_peak_mb = -1;
  double select_seconds = -1;   // in process, the board's order
  double cli_seconds = -1;      // the sqlite3 program
};

Setup g;

// Runs a program; its standard output goes to `out` (a file, or /dev/null).
// Returns its wall time in seconds, with its peak resident memory in *peak_kb.
double RunProgram(const std::vector<std::string>& args, const std::string& out, long* peak_kb) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  auto start = std::chrono::steady_clock::now();
  pid_t child = fork();
  if (child < 0) Die("cannot fork");
  if (child == 0) {
    int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || dup2(fd, 1) < 0) _exit(127);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    Die(args[0] + " failed (status " + std::to_string(status) + ")");
  }
  if (peak_kb != nullptr) *peak_kb = usage.ru_maxrss;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void Fill(const std::string& store, const std::vector<std::string>& options, long posts) {
  RemoveStore(store);
  std::vector<std::string> args = {g.boardfill};
  args.insert(args.end(), options.begin(), options.end());
  args.push_back(store);
  args.push_back(std::to_string(posts));
  fprintf(stderr, "scale_bench: boardfill %s ...\n", store.c_str());
  double seconds = RunProgram(args, "/dev/null", nullptr);
  fprintf(stderr, "scale_bench:   made in %.1f s\n", seconds);
}

void Prepare() {
  mkdir(g.work.c_str(), 0755);
  g_document_root = g.work + "/www";
  mkdir(g_document_root.c_str(), 0755);
  mkdir((g_document_root + "/bbs").c_str(), 0755);
  mkdir((g_document_root + "/admin").c_str(), 0755);
  std::string error;
  g.corkwall = TvxLibrary::Open(CORKWALL_PLUGIN_PATH, &error);
  if (!g.corkwall) Die("cannot load the board: " + error);
  g.corkwarden = TvxLibrary::Open(CORKWARDEN_PLUGIN_PATH, &error);
  if (!g.corkwarden) Die("cannot load the admin page: " + error);

  g.deep_store = g.work + "/deep.db";
  g.many_store = g.work + "/many.db";
  g.few_store = g.work + "/few.db";
  Fill(g.deep_store, {"--board", "TULVAN_board.tvx"}, g.posts);
  Fill(g.many_store, {"--boards", std::to_string(g.boards)}, 1);
  Fill(g.few_store, {"--boards", std::to_string(kFewBoards)}, 1);

  // The pages show what they should: the last page holds the 20 oldest posts
  // and no NEXT link; the catalogues list every board.
  UseStore(g.deep_store);
  std::string page;
  Call(*g.corkwall, "GET", kBoardScript, "row=" + std::to_string(g.posts - 20), "", &page);
  if (Count(page, "<table border") != 20 || page.find(">NEXT</A>") != std::string::npos) {
    Die("the last page is not the 20 last posts:\n" + page.substr(0, 2000));
  }
  UseStore(g.many_store);
  Call(*g.corkwarden, "GET", kAdminScript, "", "", &page);
  if (Count(page, "<tr bgcolor=\"#CCCCFF\">") != static_cast<size_t>(g.boards)) {
    Die("the catalogue does not list every board");
  }
  Call(*g.corkwall, "GET", kManyScript, "", "", &page);
  std::string few_page;
  UseStore(g.few_store);
  Call(*g.corkwall, "GET", kManyScript, "", "", &few_page);
  if (page != few_page || Count(page, "<table border") != 1) {
    Die("the board's page differs between the stores:\n" + page.substr(0, 2000));
  }
  PlatformCloseStore();
}

// ---- Deep pages --------------------------------------------------------------

// The same page of `script` in `store`, again and again.
void RepeatPage(benchmark::State& state, const std::string& store, const char* script,
                const std::string& query) {
  UseStore(store);
  Call(*g.corkwall, "GET", script, query, "", nullptr);
  for (auto _ : state) {
    benchmark::DoNotOptimize(Call(*g.corkwall, "GET", script, query, "", nullptr));
  }
}

void BM_FirstPage(benchmark::State& state) { RepeatPage(state, g.deep_store, kBoardScript, ""); }

void BM_LastPage(benchmark::State& state) {
  RepeatPage(state, g.deep_store, kBoardScript, "row=" + std::to_string(g.posts - 20));
}

void BM_SpreadPages(benchmark::State& state) {
  UseStore(g.deep_store);
  std::vector<std::string> queries;
  for (int i = 0; i < kSpreadRows; ++i) {
    queries.push_back("row=" + std::to_string((g.posts - 20) * (i + 1) / kSpreadRows));
  }
  size_t next = 0;
  for (auto _ : state) {
    const std::string& query = queries[next++ % queries.size()];
    benchmark::DoNotOptimize(Call(*g.corkwall, "GET", kBoardScript, query, "", nullptr));
  }
}

// ---- Many boards -------------------------------------------------------------

void BM_Catalogue(benchmark::State& state) {
  UseStore(g.many_store);
  Call(*g.corkwarden, "GET", kAdminScript, "", "", nullptr);
  for (auto _ : state) {
    benchmark::DoNotOptimize(Call(*g.corkwarden, "GET", kAdminScript, "", "", nullptr));
  }
}

void BM_RawCatalogue(benchmark::State& state) {
  Raw raw(g.many_store);
  sqlite3_stmt* s = raw.Prepare(
      "SELECT oid, name, type, flags, sorts, modified, records, size FROM databases ORDER BY oid");
  std::vector<DatabaseRowCopy> rows(static_cast<size_t>(g.boards));
  for (auto _ : state) {
    size_t n = CopyDatabaseRows(s, &rows);
    benchmark::DoNotOptimize(rows.data());
    if (n != rows.size()) state.SkipWithError("not every database row");
  }
}

void BM_PageAmongMany(benchmark::State& state) {
  RepeatPage(state, g.many_store, kManyScript, "");
}

void BM_PageAmongFew(benchmark::State& state) { RepeatPage(state, g.few_store, kManyScript, ""); }

// ---- Export --------------------------------------------------------------------

// Keeps the smaller of a figure's runs.
void KeepLeast(double* figure, double value) {
  if (*figure < 0 || value < *figure) *figure = value;
}

// tvxstore export of the deep board into /dev/null, the sqlite3 program's
// SELECT of every record into /dev/null, and one SELECT of the board's rows
// in its order in process; the best of three runs of each, taking turns.
void MeasureExport() {
  PlatformCloseStore();
  for (int round = 0; round < 3; ++round) {
    long peak_kb = 0;
    KeepLeast(&g.export_seconds,
              RunProgram({g.tvxstore, "--store", g.deep_store, "export"}, "/dev/null", &peak_kb));
    KeepLeast(&g.export_peak_mb, peak_kb / 1024.0);
    KeepLeast(&g.cli_seconds, RunProgram({g.sqlite3, "-readonly", g.deep_store,
                                          "SELECT * FROM records"},
                                         "/dev/null", nullptr));
    Raw raw(g.deep_store);
    sqlite3_stmt* s = raw.Prepare(
        "SELECT oid, k0, props FROM records WHERE db = (SELECT oid FROM databases)"
        " AND k0 IS NOT NULL ORDER BY k0 DESC, oid DESC");
    auto start = std::chrono::steady_clock::now();
    long rows = 0;
    std::string copy;
    while (sqlite3_step(s) == SQLITE_ROW) {
      copy.assign(static_cast<const char*>(sqlite3_column_blob(s, 2)),
                  static_cast<size_t>(sqlite3_column_bytes(s, 2)));
      benchmark::DoNotOptimize(copy.data());
      ++rows;
    }
    double select = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    sqlite3_reset(s);
    if (rows != g.posts) Die("the raw SELECT read " + std::to_string(rows) + " rows");
    KeepLeast(&g.select_seconds, select);
  }
}

std::vector<Row> Rows(const MedianReporter& reporter) {
  auto cpu = [&](const char* name) {
    const MedianReporter::Figure* f = reporter.Find(name);
    return f != nullptr ? f->cpu_us : -1.0;
  };
  char what[160];
  std::vector<Row> rows;
  snprintf(what, sizeof(what), "fnTvx GET last page of a %ld-post board, CPU", g.posts);
  rows.push_back(TimeRow(what, cpu("LastPage"), cpu("FirstPage"), "(its first page)", "%.1f us",
                         1.5));
  snprintf(what, sizeof(what), "(for reference) fnTvx GET at %d rows spread over it, CPU",
           kSpreadRows);
  Row spread = TimeRow(what, cpu("SpreadPages"), cpu("FirstPage"), "(its first page)", "%.1f us",
                       1.5);
  spread.target = spread.met = "-";
  rows.push_back(spread);
  snprintf(what, sizeof(what), "corkwarden catalogue of %ld boards, CPU", g.boards);
  snprintf(what + 100, 60, "(raw SELECT of the %ld database rows)", g.boards);
  rows.push_back(TimeRow(what, cpu("Catalogue"), cpu("RawCatalogue"), what + 100, "%.0f us", 3.0));
  snprintf(what, sizeof(what), "fnTvx GET board page in a store of %ld boards, CPU", g.boards);
  rows.push_back(TimeRow(what, cpu("PageAmongMany"), cpu("PageAmongFew"),
                         "(the same page in a store of 10 boards)", "%.1f us", 1.3));
  snprintf(what, sizeof(what), "tvxstore export of %ld posts, wall", g.posts);
  rows.push_back(TimeRow(what, g.export_seconds, g.cli_seconds,
                         "(sqlite3 -readonly STORE 'SELECT * FROM records' > /dev/null)",
                         "%.2f s", 5.0));
  snprintf(what, sizeof(what), "(for reference) tvxstore export of %ld posts, wall", g.posts);
  Row lean = TimeRow(what, g.export_seconds, g.select_seconds,
                     "(in-process SELECT of the rows in the board's order, bytes copied)",
                     "%.2f s", 5.0);
  lean.target = lean.met = "-";
  rows.push_back(lean);
  Row memory;
  snprintf(what, sizeof(what), "tvxstore export of %ld posts, peak memory", g.posts);
  memory.figure = what;
  memory.measured = g.export_peak_mb > 0 ? Format("%.1f MB", g.export_peak_mb) : "not measured";
  memory.baseline = "-";
  memory.ratio = "-";
  memory.target = "<= 50 MB";
  memory.met = g.export_peak_mb > 0 && g.export_peak_mb <= 50 ? "yes" : "no";
  rows.push_back(memory);
  return rows;
}

bool TakeCount(int* argc, char** argv, const char* name, long* value) {
  std::string text;
  if (!TakeFlag(argc, argv, name, &text)) return false;
  char* end = nullptr;
  *value = strtol(text.c_str(), &end, 10);
  if (*end != '\0' || *value < 100) Die(std::string(name) + " needs a number of 100 or more");
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  TakeFlag(&argc, argv, "--work", &g.work);
  TakeFlag(&argc, argv, "--boardfill", &g.boardfill);
  TakeFlag(&argc, argv, "--tvxstore", &g.tvxstore);
  TakeFlag(&argc, argv, "--sqlite3", &g.sqlite3);
  TakeFlag(&argc, argv, "--rows", &g.rows_path);
  TakeCount(&argc, argv, "--posts", &g.posts);
  TakeCount(&argc, argv, "--boards", &g.boards);
  if (AnswerHelp(argc, argv,
                 "Usage: scale_bench [--work=DIR] [--boardfill=PATH] [--tvxstore=PATH]\n"
                 "                   [--sqlite3=PATH] [--posts=N] [--boards=N] [--rows=FILE]\n"
                 "                   [benchmark flags]\n"
                 "The product at size: deep pages of a board of --posts posts (default\n"
                 "1000000), the catalogue and a board's page in a store of --boards boards\n"
                 "(default 40000), and tvxstore export of the big board.\n"
                 "  --work=DIR   where the stores are made (default %s)\n"
                 "  --rows=FILE  also write the table's rows there, tab-separated\n",
                 SCALE_BENCH_WORK)) {
    return 0;
  }
  if (!StartBenchmarks(argc, argv)) return 2;

  Prepare();
  MeasureExport();

  using benchmark::RegisterBenchmark;
  using benchmark::kMicrosecond;
  RegisterBenchmark("FirstPage", BM_FirstPage)->Unit(kMicrosecond);
  RegisterBenchmark("LastPage", BM_LastPage)->Unit(kMicrosecond);
  RegisterBenchmark("SpreadPages", BM_SpreadPages)->Unit(kMicrosecond);
  RegisterBenchmark("Catalogue", BM_Catalogue)->Unit(kMicrosecond);
  RegisterBenchmark("RawCatalogue", BM_RawCatalogue)->Unit(kMicrosecond);
  RegisterBenchmark("PageAmongMany", BM_PageAmongMany)->Unit(kMicrosecond);
  RegisterBenchmark("PageAmongFew", BM_PageAmongFew)->Unit(kMicrosecond);

  MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  PlatformCloseStore();
  return ReportRows(Rows(reporter), g.rows_path);
}
