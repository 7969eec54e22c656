// The object store's read path against raw SQLite doing the same work on the
// same file, in the same run:
//   ReadNext: one read of the next record on an open handle;
//   Page:     what the board does for a page (open by name, 20 reads, close).
// The raw side runs the same indexed queries through its own prepared
// statements and copies each record out of SQLite into a fresh allocation,
// as the store copies it into the buffer it hands out.
//
// Usage: store_bench [--posts=N] [benchmark flags]
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "ceplatform.h"
#include "wince.h"

namespace {

const char16_t kBoard[] = u"TULVAN_bench.tvx";
constexpr CEPROPID kTimeProp = MAKEPROPID(0, CEVT_FILETIME);
constexpr CEPROPID kTextProp = MAKEPROPID(1, CEVT_BLOB);
constexpr int kPageSize = 20;

std::string g_path;
int g_posts = 2000;

HANDLE OpenBoard() {
  CEGUID volume;
  CREATE_SYSTEMGUID(&volume);
  CEOID oid = 0;
  WCHAR name[CEDB_MAXDBASENAMELEN];
  memcpy(name, kBoard, sizeof(kBoard));
  return CeOpenDatabaseEx(&volume, &oid, name, 0, CEDB_AUTOINCREMENT, nullptr);
}

// One read as the board does it: a buffer from the store, freed at once.
CEOID ReadOne(HANDLE h) {
  WORD count = 0;
  LPBYTE buffer = nullptr;
  DWORD size = 0;
  CEOID oid = CeReadRecordProps(h, CEDB_ALLOWREALLOC, &count, nullptr, &buffer, &size);
  if (oid != 0) {
    benchmark::DoNotOptimize(buffer[0]);
    LocalFree(buffer);
  }
  return oid;
}

bool Populate() {
  CEGUID volume;
  CREATE_SYSTEMGUID(&volume);
  CEDBASEINFO info;
  memset(&info, 0, sizeof(info));
  info.dwFlags = 0x17;
  memcpy(info.szDbaseName, kBoard, sizeof(kBoard));
  info.wNumSortOrder = 1;
  info.rgSortSpecs[0] = {kTimeProp, CEDB_SORT_DESCENDING};
  if (CeCreateDatabaseEx(&volume, &info) == 0) return false;
  HANDLE h = OpenBoard();
  if (h == INVALID_HANDLE_VALUE) return false;
  // A post of about the board's usual size: a few hundred bytes of HTML.
  std::string html =
      "<B>subject of the post</B> <A HREF=\"mailto:someone@example.com\">name</A> "
      "2024/02/29(Thu) 13:45<BR>\n";
  while (html.size() < 600) html += "text of the body, escaped once when posted.<BR>\n";
  for (int i = 0; i < g_posts; ++i) {
    CEPROPVAL values[2];
    memset(values, 0, sizeof(values));
    uint64_t time = 133000000000000000ull + static_cast<uint64_t>(i) * 10000000ull;
    values[0].propid = kTimeProp;
    values[0].val.filetime = {static_cast<DWORD>(time), static_cast<DWORD>(time >> 32)};
    values[1].propid = kTextProp;
    values[1].val.blob = {static_cast<DWORD>(html.size() + 1),
                          reinterpret_cast<LPBYTE>(&html[0])};
    if (CeWriteRecordProps(h, 0, 2, values) == 0) return false;
  }
  CloseHandle(h);
  return true;
}

// ---- The store --------------------------------------------------------------

void BM_StoreReadNext(benchmark::State& state) {
  HANDLE h = OpenBoard();
  for (auto _ : state) {
    if (ReadOne(h) == 0) {
      state.PauseTiming();
      CloseHandle(h);
      h = OpenBoard();
      state.ResumeTiming();
      ReadOne(h);
    }
  }
  CloseHandle(h);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StoreReadNext);

void BM_StorePage(benchmark::State& state) {
  for (auto _ : state) {
    HANDLE h = OpenBoard();
    for (int i = 0; i < kPageSize; ++i) ReadOne(h);
    CloseHandle(h);
  }
  state.SetItemsProcessed(state.iterations() * kPageSize);
}
BENCHMARK(BM_StorePage);

// ---- Raw SQLite ------------------------------------------------------------------

// The same queries the store runs, on a connection of its own.
class RawBoard {
 public:
  RawBoard() {
    sqlite3_open_v2(g_path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    sqlite3_busy_timeout(db_, 5000);
    sqlite3_exec(db_, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
    sqlite3_prepare_v2(db_, "SELECT oid, sorts FROM databases WHERE name = ?1", -1, &open_,
                       nullptr);
    sqlite3_prepare_v2(db_,
                       "SELECT oid, k0, props FROM records WHERE db = ?1"
                       " ORDER BY k0 DESC, oid DESC LIMIT 1",
                       -1, &first_, nullptr);
    sqlite3_prepare_v2(db_,
                       "SELECT oid, k0, props FROM records WHERE db = ?1"
                       " AND (k0, oid) < (?2, ?3) ORDER BY k0 DESC, oid DESC LIMIT 1",
                       -1, &next_, nullptr);
  }
  ~RawBoard() {
    sqlite3_finalize(open_);
    sqlite3_finalize(first_);
    sqlite3_finalize(next_);
    sqlite3_close(db_);
  }
  bool ok() const { return open_ != nullptr && first_ != nullptr && next_ != nullptr; }

  // Looks the board up by name and starts at its first record.
  void Open() {
    sqlite3_bind_blob(open_, 1, kBoard, static_cast<int>(sizeof(kBoard) - 2), SQLITE_STATIC);
    if (sqlite3_step(open_) == SQLITE_ROW) {
      board_ = sqlite3_column_int64(open_, 0);
      std::string sorts(static_cast<const char*>(sqlite3_column_blob(open_, 1)),
                        static_cast<size_t>(sqlite3_column_bytes(open_, 1)));
      benchmark::DoNotOptimize(sorts);
    }
    sqlite3_reset(open_);
    positioned_ = false;
  }

  // Reads the record after the position and moves on; 0 at the end.
  sqlite3_int64 ReadNext() {
    sqlite3_stmt* s = positioned_ ? next_ : first_;
    sqlite3_bind_int64(s, 1, board_);
    if (positioned_) {
      sqlite3_bind_blob(s, 2, key_.data(), static_cast<int>(key_.size()), SQLITE_STATIC);
      sqlite3_bind_int64(s, 3, last_);
    }
    sqlite3_int64 oid = 0;
    if (sqlite3_step(s) == SQLITE_ROW) {
      oid = sqlite3_column_int64(s, 0);
      key_.assign(static_cast<const char*>(sqlite3_column_blob(s, 1)),
                  static_cast<size_t>(sqlite3_column_bytes(s, 1)));
      const void* props = sqlite3_column_blob(s, 2);
      size_t size = static_cast<size_t>(sqlite3_column_bytes(s, 2));
      void* copy = malloc(size);
      memcpy(copy, props, size);
      benchmark::DoNotOptimize(copy);
      free(copy);
      last_ = oid;
      positioned_ = true;
    }
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    return oid;
  }

 private:
  sqlite3* db_ = nullptr;
  sqlite3_stmt* open_ = nullptr;
  sqlite3_stmt* first_ = nullptr;
  sqlite3_stmt* next_ = nullptr;
  sqlite3_int64 board_ = 0;
  bool positioned_ = false;
  std::string key_;
  sqlite3_int64 last_ = 0;
};

void BM_RawReadNext(benchmark::State& state) {
  RawBoard raw;
  if (!raw.ok()) {
    state.SkipWithError("cannot prepare the raw queries");
    return;
  }
  raw.Open();
  for (auto _ : state) {
    if (raw.ReadNext() == 0) {
      raw.Open();
      raw.ReadNext();
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RawReadNext);

void BM_RawPage(benchmark::State& state) {
  RawBoard raw;
  if (!raw.ok()) {
    state.SkipWithError("cannot prepare the raw queries");
    return;
  }
  for (auto _ : state) {
    raw.Open();
    for (int i = 0; i < kPageSize; ++i) raw.ReadNext();
  }
  state.SetItemsProcessed(state.iterations() * kPageSize);
}
BENCHMARK(BM_RawPage);

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (strncmp(argv[i], "--posts=", 8) == 0) {
      g_posts = atoi(argv[i] + 8);
      for (int j = i; j + 1 < argc; ++j) argv[j] = argv[j + 1];
      --argc;
      --i;
    }
  }
  char dir[] = "/tmp/store_bench.XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    perror("store_bench: mkdtemp");
    return 1;
  }
  g_path = std::string(dir) + "/objectstore.db";
  PlatformSetStorePath(g_path.c_str());
  int rc = 0;
  if (!Populate()) {
    fprintf(stderr, "store_bench: cannot fill %s (error %u)\n", g_path.c_str(), GetLastError());
    rc = 1;
  } else {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
  }
  PlatformCloseStore();
  for (const char* suffix : {"", "-wal", "-shm"}) unlink((g_path + suffix).c_str());
  rmdir(dir);
  return rc;
}
