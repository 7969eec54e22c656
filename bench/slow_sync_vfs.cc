// libslowsync: preloaded (LD_PRELOAD) into a program that uses SQLite, it
// puts a VFS of its own in front of SQLite's default one and makes it the
// default: every sync of an SQLite file then takes SLOW_SYNC_MS
// milliseconds (default 5) longer, as on a slow disk. It counts the syncs of
// write-ahead logs and of other files, and when SYNC_COUNT_FILE names a file
// it writes "<log syncs> <other syncs>" there as the program exits.
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <atomic>

#include "forwarding_vfs.h"

namespace {

using faults::ForwardingFile;

struct SlowFile {
  ForwardingFile forwarding;
  bool log;  // a write-ahead log
};

sqlite3_vfs slow_vfs;
long delay_ns = 5 * 1000 * 1000;
std::atomic<long> log_syncs{0};
std::atomic<long> other_syncs{0};

int Sync(sqlite3_file* file, int flags) {
  SlowFile* slow = reinterpret_cast<SlowFile*>(file);
  (slow->log ? log_syncs : other_syncs)++;
  struct timespec pause = {delay_ns / 1000000000, delay_ns % 1000000000};
  if (delay_ns > 0) nanosleep(&pause, nullptr);
  sqlite3_file* real = slow->forwarding.real;
  return real->pMethods->xSync(real, flags);
}

int Open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
  static const sqlite3_io_methods methods = [] {
    sqlite3_io_methods m = faults::ForwardingMethods();
    m.xSync = &Sync;
    return m;
  }();
  reinterpret_cast<SlowFile*>(file)->log = (flags & SQLITE_OPEN_WAL) != 0;
  return faults::OpenForwarding(name, file, flags, outFlags, &methods, sizeof(SlowFile));
}

void WriteCounts() {
  const char* path = getenv("SYNC_COUNT_FILE");
  if (path == nullptr || path[0] == '\0') return;
  FILE* out = fopen(path, "w");
  if (out == nullptr) return;
  fprintf(out, "%ld %ld\n", log_syncs.load(), other_syncs.load());
  fclose(out);
}

__attribute__((constructor)) void Install() {
  const char* ms = getenv("SLOW_SYNC_MS");
  if (ms != nullptr && ms[0] != '\0') delay_ns = atol(ms) * 1000 * 1000;
  faults::InitForwardingVfs(&slow_vfs, "corkwall-slowsync", sizeof(SlowFile));
  slow_vfs.xOpen = &Open;
  if (sqlite3_vfs_register(&slow_vfs, 1) != SQLITE_OK) {
    fprintf(stderr, "libslowsync: cannot register the VFS\n");
    return;
  }
  atexit(&WriteCounts);
}

}  // namespace
