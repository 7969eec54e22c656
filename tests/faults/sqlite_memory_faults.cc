#include "sqlite_memory_faults.h"

#include <sqlite3.h>

#include <atomic>

namespace faults {
namespace {

sqlite3_mem_methods original;
std::atomic<bool> armed{false};
std::atomic<long> remaining{0};
std::atomic<bool> persistent{false};
std::atomic<bool> fired_flag{false};

// True when the allocation about to be made is to fail.
bool Take() {
  if (!armed.load()) return false;
  long left = remaining.fetch_sub(1) - 1;
  if (left > 0 || (left < 0 && !persistent.load())) return false;
  fired_flag = true;
  return true;
}

void* Malloc(int size) { return Take() ? nullptr : original.xMalloc(size); }
void* Realloc(void* block, int size) { return Take() ? nullptr : original.xRealloc(block, size); }

}  // namespace

bool SqliteMemoryFaults::Install() {
  if (sqlite3_config(SQLITE_CONFIG_GETMALLOC, &original) != SQLITE_OK) return false;
  sqlite3_mem_methods counted = original;
  counted.xMalloc = &Malloc;
  counted.xRealloc = &Realloc;
  return sqlite3_config(SQLITE_CONFIG_MALLOC, &counted) == SQLITE_OK;
}

void SqliteMemoryFaults::Arm(long n, bool persistent_failure) {
  armed = false;
  remaining = n;
  persistent = persistent_failure;
  fired_flag = false;
  armed = true;
}

void SqliteMemoryFaults::Disarm() { armed = false; }

bool SqliteMemoryFaults::fired() { return fired_flag.load(); }

}  // namespace faults
