// The stamps of copies of stored data: a copy never stands for the store
// past the lifetime, whatever clock the stamps are taken on, and a write of
// this process ends at once every copy that it can change.
#include <time.h>

#include <gtest/gtest.h>

#include "store.h"

namespace ceplatform {
namespace store {
namespace {

int64_t PreciseNs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

TEST(StoreStampTest, NoCopyIsFreshOnceTheLifetimeHasPassed) {
  Store& store = Store::Instance();
  // Stamps taken at different points of the clock's tick: one taken just
  // before a tick would look younger than it is on a clock without margin.
  for (int round = 0; round < 24; ++round) {
    StoreStamp stamp = store.Stamp();
    int64_t taken = PreciseNs();
    // Each round starts a little later within a tick.
    struct timespec pause = {0, 300 * 1000 * (round + 1)};
    nanosleep(&pause, nullptr);
    while (PreciseNs() - taken < kStampLifetimeNs) {
      struct timespec step = {0, 200 * 1000};
      nanosleep(&step, nullptr);
    }
    EXPECT_FALSE(store.Fresh(stamp)) << "round " << round;
  }
}

TEST(StoreStampTest, AWriteOfThisProcessEndsTheCopiesItCanChange) {
  Store& store = Store::Instance();
  const struct {
    WriteKind kind;
    bool names_still_fresh;
  } writes[] = {
      {WriteKind::kRecords, true},  // a post leaves the catalogue's names standing
      {WriteKind::kDatabases, false},
  };
  for (const auto& write : writes) {
    SCOPED_TRACE(write.kind == WriteKind::kRecords ? "records" : "databases");
    int64_t before = PreciseNs();
    StoreStamp stamp = store.Stamp();
    store.NoteWrite(write.kind);
    bool fresh = store.Fresh(stamp);
    bool names_fresh = store.DatabasesFresh(stamp);
    EXPECT_FALSE(fresh);
    // Unless the machine stalled this thread for most of the lifetime.
    if (PreciseNs() - before < kStampLifetimeNs / 4) {
      EXPECT_EQ(write.names_still_fresh, names_fresh);
    } else {
      EXPECT_FALSE(names_fresh && !write.names_still_fresh);
    }
    // A stamp taken after the write is fresh for both.
    before = PreciseNs();
    StoreStamp later = store.Stamp();
    fresh = store.Fresh(later) && store.DatabasesFresh(later);
    if (PreciseNs() - before < kStampLifetimeNs / 4) {
      EXPECT_TRUE(fresh);
    }
  }
}

}  // namespace
}  // namespace store
}  // namespace ceplatform
