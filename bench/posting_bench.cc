// posting_bench: posts per second into one board of an SQLite store, in
// process. THREADS threads (default 8) each send the board's post form to
// fnTvx again and again, against a raw serial loop of INSERTs of the same
// record bytes into the same file, each in a transaction of its own synced
// on its own (WAL, synchronous=FULL). For reference, one thread posting
// alone against the same loop. A shared disk's sync time changes from one
// second to the next, so the three kinds take turns in short slices (SLICE
// seconds, default 0.5), CYCLES times (default 8), and each figure is its
// kind's posts over its kind's time. Prints the sizes of the groups the
// store committed the many threads' posts in.
//
// Usage: posting_bench [--work=DIR] [--corkwall=PATH] [--rows=FILE]
//                      [--threads=N] [--slice=S] [--cycles=C]
// The store goes to the work folder (keep it on a disk, so that commits
// really sync).
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "ceplatform.h"

#ifndef CORKWALL_PLUGIN_PATH
#define CORKWALL_PLUGIN_PATH "board/corkwall.tvx"
#endif
#ifndef POSTING_BENCH_WORK
#define POSTING_BENCH_WORK "posting_bench.work"
#endif

namespace {

const char kScript[] = "/bbs/posting.tvx";
constexpr int kGroupSlots = 32;


struct Setup {
  std::string work = POSTING_BENCH_WORK;
  std::string corkwall_path = CORKWALL_PLUGIN_PATH;
  std::string rows_path;
  int threads = 8;
  double slice = 0.5;
  int cycles = 8;
  std::string store;
  std::unique_ptr<TvxLibrary> corkwall;
  sqlite3_int64 board = 0;
  std::string key, props;  // of a post the plug-in wrote
  std::atomic<int> serial{0};
};
Setup g;

// What one kind did: posts and seconds, over its slices.
struct Tally {
  double posts = 0;
  double seconds = 0;
  double rate() const { return seconds > 0 ? posts / seconds : 0; }
};

// Posts of `threads` threads posting through fnTvx for `seconds`, added to
// *tally; dies when a post is not answered with the board's redirect.
void PluginSlice(int threads, double seconds, Tally* tally) {
  std::atomic<long> posts{0};
  double start = MonotonicSeconds();
  double end = start + seconds;
  std::vector<std::thread> posters;
  for (int t = 0; t < threads; ++t) {
    posters.emplace_back([&] {
      std::string response;
      while (MonotonicSeconds() < end) {
        Call(*g.corkwall, "POST", kScript, "", PostBody(++g.serial), &response);
        if (response.compare(0, 10, "Location: ") != 0) {
          Die("a post was answered with " + response.substr(0, 300));
        }
        ++posts;
      }
    });
  }
  for (std::thread& poster : posters) poster.join();
  tally->posts += posts.load();
  tally->seconds += MonotonicSeconds() - start;
}

// Inserts of the raw serial loop for `seconds`, added to *tally.
void RawSlice(RawSqliteInsert* raw, double seconds, Tally* tally) {
  long inserts = 0;
  double start = MonotonicSeconds();
  double end = start + seconds;
  std::string error;
  while (MonotonicSeconds() < end) {
    if (!raw->Step(&error)) Die("a raw insert failed: " + error);
    ++inserts;
  }
  tally->posts += inserts;
  tally->seconds += MonotonicSeconds() - start;
}

std::vector<unsigned long long> GroupSizes() {
  std::vector<unsigned long long> sizes(kGroupSlots);
  PlatformStoreGroupSizes(sizes.data(), kGroupSlots);
  return sizes;
}

void Prepare() {
  mkdir(g.work.c_str(), 0755);
  g_document_root = g.work + "/www";
  mkdir(g_document_root.c_str(), 0755);
  mkdir((g_document_root + "/bbs").c_str(), 0755);
  if (OnTmpfs(g.work)) {
    fprintf(stderr, "posting_bench: warning: %s is on tmpfs; commits reach no disk\n",
            g.work.c_str());
  }
  std::string error;
  g.corkwall = TvxLibrary::Open(g.corkwall_path, &error);
  if (!g.corkwall) Die("cannot load " + g.corkwall_path + ": " + error);
  g.store = g.work + "/posting.db";
  RemoveStore(g.store);
  UseStore(g.store);
  std::string response;
  Call(*g.corkwall, "POST", kScript, "", PostBody(0), &response);
  if (response.compare(0, 10, "Location: ") != 0) Die("the first post was refused");
  Raw raw(g.store);
  g.board = DatabaseId(&raw, "TULVAN_posting.tvx");
  FirstRecord(&raw, g.board, &g.key, &g.props);
}

int ParseFlags(int argc, char** argv) {
  std::string value;
  TakeFlag(&argc, argv, "--work", &g.work);
  TakeFlag(&argc, argv, "--corkwall", &g.corkwall_path);
  TakeFlag(&argc, argv, "--rows", &g.rows_path);
  if (TakeFlag(&argc, argv, "--threads", &value)) g.threads = atoi(value.c_str());
  if (TakeFlag(&argc, argv, "--slice", &value)) g.slice = atof(value.c_str());
  if (TakeFlag(&argc, argv, "--cycles", &value)) g.cycles = atoi(value.c_str());
  if (argc > 1 || g.threads < 1 || g.slice <= 0 || g.cycles < 1) {
    fprintf(stderr,
            "usage: posting_bench [--work=DIR] [--corkwall=PATH] [--rows=FILE]\n"
            "                     [--threads=N] [--slice=S] [--cycles=C]\n");
    return 2;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (int bad = ParseFlags(argc, argv)) return bad;
  Prepare();
  RawSqliteInsert raw(g.store, g.board, g.key, g.props, 0x70000000);
  // Connections opened, statements prepared, the file's pages read.
  Tally warm;
  PluginSlice(g.threads, 0.5, &warm);
  RawSlice(&raw, 0.5, &warm);

  Tally many, one, serial;
  std::vector<unsigned long long> grouped(kGroupSlots, 0);
  for (int cycle = 0; cycle < g.cycles; ++cycle) {
    // Each kind goes first in turn.
    for (int turn = 0; turn < 3; ++turn) {
      switch ((turn + cycle) % 3) {
        case 0:
          RawSlice(&raw, g.slice, &serial);
          break;
        case 1: {
          std::vector<unsigned long long> before = GroupSizes();
          PluginSlice(g.threads, g.slice, &many);
          std::vector<unsigned long long> after = GroupSizes();
          for (int i = 0; i < kGroupSlots; ++i) grouped[i] += after[i] - before[i];
          break;
        }
        default:
          PluginSlice(1, g.slice, &one);
      }
    }
  }
  printf("  %d slices of %.1f s each: %d threads %.0f posts/s, 1 thread %.0f posts/s, raw serial"
         " loop %.0f inserts/s\n",
         g.cycles, g.slice, g.threads, many.rate(), one.rate(), serial.rate());
  unsigned long long groups = 0, writes = 0;
  printf("  groups of the %d threads' posts (size: count):", g.threads);
  for (int i = 0; i < kGroupSlots; ++i) {
    if (grouped[i] == 0) continue;
    printf(" %d: %llu", i + 1, grouped[i]);
    groups += grouped[i];
    writes += grouped[i] * (i + 1);
  }
  printf("; %.2f posts a group\n", groups > 0 ? static_cast<double>(writes) / groups : 0.0);
  PlatformCloseStore();

  std::vector<Row> rows;
  char figure[128];
  snprintf(figure, sizeof(figure), "SQLite: posts/s in process, %d threads (fnTvx POST, durable)",
           g.threads);
  rows.push_back(RateRow(figure, many.rate(), serial.rate(),
                         "(raw serial INSERT loop, a sync per insert)", "%.0f/s", 4.0));
  Row alone = RateRow("(for reference) SQLite: posts/s in process, 1 thread", one.rate(),
                      serial.rate(), "(raw serial INSERT loop, a sync per insert)", "%.0f/s",
                      1.0);
  alone.target = "-";
  alone.met = "-";
  rows.push_back(alone);
  return ReportRows(rows, g.rows_path);
}
