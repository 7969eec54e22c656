#include "handle_table.h"

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "ceplatform.h"
#include "gtest/gtest.h"
#include "wince_kernel.h"

namespace ceplatform {
namespace {

// Counts what happens to it.
class CountingObject : public KernelObject {
 public:
  CountingObject(Kind kind, std::atomic<int>* destroyed)
      : KernelObject(kind), destroyed_(destroyed) {}
  ~CountingObject() override { ++*destroyed_; }

 private:
  std::atomic<int>* destroyed_;
};

struct Counters {
  std::atomic<int> destroyed{0};
  std::shared_ptr<KernelObject> Make(KernelObject::Kind kind) {
    return std::make_shared<CountingObject>(kind, &destroyed);
  }
};

TEST(HandleTableTest, HandlesAreNeverReused) {
  Counters counters;
  std::set<uintptr_t> seen;
  for (int i = 0; i < 1000; ++i) {
    HANDLE handle = HandleInsert(counters.Make(KernelObject::Kind::kFile));
    ASSERT_NE(INVALID_HANDLE_VALUE, handle);
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    EXPECT_TRUE(seen.insert(value).second) << "handle " << value << " came back";
    EXPECT_GE(value, 0x100u);
    EXPECT_EQ(0u, value % 4);
    EXPECT_GT(static_cast<int>(value), 0);  // printable with %d, as on the device
    ASSERT_TRUE(CloseHandle(handle));
  }
  EXPECT_EQ(1000, counters.destroyed.load());
}

TEST(HandleTableTest, LookupFindsOnlyTheRightKind) {
  Counters counters;
  HANDLE database = HandleInsert(counters.Make(KernelObject::Kind::kDatabase));
  ASSERT_NE(INVALID_HANDLE_VALUE, database);
  EXPECT_NE(nullptr, HandleLookup(database, KernelObject::Kind::kDatabase));
  const KernelObject::Kind kWrong[] = {KernelObject::Kind::kFile,
                                       KernelObject::Kind::kDatabaseEnum};
  for (KernelObject::Kind kind : kWrong) {
    SetLastError(0);
    EXPECT_EQ(nullptr, HandleLookup(database, kind));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  }
  EXPECT_TRUE(CloseHandle(database));  // CloseHandle closes every kind
  EXPECT_EQ(nullptr, HandleLookup(database, KernelObject::Kind::kDatabase));
}

TEST(HandleTableTest, BadHandlesAreRefused) {
  Counters counters;
  HANDLE handle = HandleInsert(counters.Make(KernelObject::Kind::kFile));
  ASSERT_TRUE(CloseHandle(handle));
  const HANDLE kBad[] = {nullptr, INVALID_HANDLE_VALUE, handle, GetProcessHeap(),
                         reinterpret_cast<HANDLE>(0x101)};
  for (HANDLE bad : kBad) {
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(bad)) << bad;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ(nullptr, HandleLookup(bad, KernelObject::Kind::kFile));
  }
  EXPECT_EQ(1, counters.destroyed.load());  // the double close released nothing more
  // An object its maker could not allocate gets no handle.
  SetLastError(0);
  EXPECT_EQ(INVALID_HANDLE_VALUE, HandleInsert(nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
}

TEST(HandleTableTest, OpenCountFollowsInsertAndClose) {
  Counters counters;
  long before = PlatformOpenHandles();
  HANDLE a = HandleInsert(counters.Make(KernelObject::Kind::kFile));
  HANDLE b = HandleInsert(counters.Make(KernelObject::Kind::kDatabaseEnum));
  EXPECT_EQ(before + 2, PlatformOpenHandles());
  EXPECT_EQ(before + 2, HandleOpenCount());
  CloseHandle(a);
  EXPECT_EQ(before + 1, PlatformOpenHandles());
  CloseHandle(b);
  EXPECT_EQ(before, PlatformOpenHandles());
}

TEST(HandleTableTest, CloseFromAnotherThreadWhileInUse) {
  Counters counters;
  HANDLE handle = HandleInsert(counters.Make(KernelObject::Kind::kDatabase));
  std::shared_ptr<KernelObject> in_use = HandleLookup(handle, KernelObject::Kind::kDatabase);
  ASSERT_NE(nullptr, in_use);
  BOOL closed = FALSE;
  std::thread closer([&] { closed = CloseHandle(handle); });
  closer.join();
  EXPECT_TRUE(closed);
  // The user still holds a live object; the handle no longer finds it.
  EXPECT_EQ(0, counters.destroyed.load());
  EXPECT_EQ(KernelObject::Kind::kDatabase, in_use->kind());
  EXPECT_EQ(nullptr, HandleLookup(handle, KernelObject::Kind::kDatabase));
  in_use.reset();
  EXPECT_EQ(1, counters.destroyed.load());
}

TEST(HandleTableTest, ManyThreadsInsertLookupAndClose) {
  Counters counters;
  long before = PlatformOpenHandles();
  const int kThreads = 4;
  const int kEach = 500;
  std::vector<std::vector<uintptr_t>> handles(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        HANDLE handle = HandleInsert(counters.Make(KernelObject::Kind::kDatabaseEnum));
        if (HandleLookup(handle, KernelObject::Kind::kDatabaseEnum) == nullptr) return;
        handles[t].push_back(reinterpret_cast<uintptr_t>(handle));
        if (i % 2 == 0) CloseHandle(handle);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<uintptr_t> distinct;
  for (const auto& list : handles) {
    ASSERT_EQ(static_cast<size_t>(kEach), list.size());
    distinct.insert(list.begin(), list.end());
  }
  EXPECT_EQ(static_cast<size_t>(kThreads * kEach), distinct.size());
  EXPECT_EQ(before + kThreads * kEach / 2, PlatformOpenHandles());
  for (const auto& list : handles) {
    for (size_t i = 1; i < list.size(); i += 2) {
      EXPECT_TRUE(CloseHandle(reinterpret_cast<HANDLE>(list[i])));
    }
  }
  EXPECT_EQ(before, PlatformOpenHandles());
  EXPECT_EQ(kThreads * kEach, counters.destroyed.load());
}

}  // namespace
}  // namespace ceplatform
