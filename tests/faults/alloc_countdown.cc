#include "alloc_countdown.h"

#include <atomic>

namespace {

std::atomic<long> remaining{-1};
std::atomic<bool> fired{false};
std::atomic<long> live{0};

}  // namespace

extern "C" {

void AllocFaultAfter(long count) {
  fired.store(false);
  remaining.store(count < 0 ? -1 : count);
}

int AllocFaultFired(void) { return fired.load() ? 1 : 0; }

long AllocFaultLiveBlocks(void) { return live.load(); }

int AllocFaultTake(void) {
  long left = remaining.load();
  while (left > 0) {
    if (remaining.compare_exchange_weak(left, left - 1)) return 0;
  }
  if (left < 0) return 0;
  fired.store(true);
  return 1;
}

void AllocFaultCount(long change) { live.fetch_add(change); }

}  // extern "C"
