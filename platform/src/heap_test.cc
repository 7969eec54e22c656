#include <string.h>

#include <thread>
#include <vector>

#include "ceplatform.h"
#include "gtest/gtest.h"
#include "wince_kernel.h"

namespace {

// Restores the heap after a test that made it fail.
class HeapTest : public ::testing::Test {
 protected:
  void SetUp() override { blocks_before_ = PlatformLiveHeapBlocks(); }
  void TearDown() override {
    PlatformFailHeapAfter(-1);
    PlatformLimitHeapBlock(0);
    EXPECT_EQ(blocks_before_, PlatformLiveHeapBlocks()) << "the test leaked heap blocks";
  }
  long blocks_before_ = 0;
};

TEST_F(HeapTest, ZeroMemoryZeroesNewBlock) {
  HANDLE heap = GetProcessHeap();
  ASSERT_NE(nullptr, heap);
  unsigned char* block = static_cast<unsigned char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 1000));
  ASSERT_NE(nullptr, block);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(0, block[i]) << i;
  EXPECT_EQ(1000u, HeapSize(heap, 0, block));
  EXPECT_TRUE(HeapFree(heap, HEAP_NO_SERIALIZE, block));
}

TEST_F(HeapTest, ReAllocZeroesOnlyTheGrownPart) {
  HANDLE heap = GetProcessHeap();
  // Sizes that cross the allocator's size classes, so the block moves.
  const SIZE_T kSizes[][2] = {{1, 2}, {512, 1024}, {100, 100000}, {7, 7}, {3000, 4096}};
  for (const auto& sizes : kSizes) {
    char* block = static_cast<char*>(HeapAlloc(heap, 0, sizes[0]));
    ASSERT_NE(nullptr, block);
    memset(block, 'x', sizes[0]);
    // Dirty memory that a later block may reuse, so that stale bytes would show.
    char* dirt = static_cast<char*>(HeapAlloc(heap, 0, sizes[1]));
    ASSERT_NE(nullptr, dirt);
    memset(dirt, 'd', sizes[1]);
    ASSERT_TRUE(HeapFree(heap, 0, dirt));

    char* grown = static_cast<char*>(HeapReAlloc(heap, HEAP_ZERO_MEMORY, block, sizes[1]));
    ASSERT_NE(nullptr, grown) << sizes[0] << " -> " << sizes[1];
    EXPECT_EQ(sizes[1], HeapSize(heap, 0, grown));
    for (SIZE_T i = 0; i < sizes[0]; ++i) ASSERT_EQ('x', grown[i]) << i;
    for (SIZE_T i = sizes[0]; i < sizes[1]; ++i) ASSERT_EQ(0, grown[i]) << i;
    EXPECT_TRUE(HeapFree(heap, 0, grown));
  }
}

// A text buffer grows 512 bytes at a time: each step keeps the bytes, zeroes
// exactly the new part and reports the size asked for, and the block moves
// only now and then instead of at every step.
TEST_F(HeapTest, GrowingInSmallStepsKeepsContentsAndRarelyMoves) {
  HANDLE heap = GetProcessHeap();
  char* block = static_cast<char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 512));
  ASSERT_NE(nullptr, block);
  int moves = 0;
  for (SIZE_T size = 512; size < 128 * 512; size += 512) {
    memset(block + size - 512, static_cast<int>('a' + (size / 512) % 26), 512);
    char* grown = static_cast<char*>(HeapReAlloc(heap, HEAP_ZERO_MEMORY, block, size + 512));
    ASSERT_NE(nullptr, grown) << size;
    if (grown != block) moves++;
    block = grown;
    ASSERT_EQ(size + 512, HeapSize(heap, 0, block));
    for (SIZE_T i = 0; i < size; ++i) {
      ASSERT_EQ(static_cast<char>('a' + (i / 512 + 1) % 26), block[i]) << size << " " << i;
    }
    for (SIZE_T i = size; i < size + 512; ++i) ASSERT_EQ(0, block[i]) << size << " " << i;
  }
  EXPECT_LE(moves, 12);
  EXPECT_TRUE(HeapFree(heap, 0, block));
}

// Whether `count` bytes from `bytes` all equal `value`.
bool AllBytesAre(const char* bytes, SIZE_T count, char value) {
  for (SIZE_T i = 0; i < count; ++i) {
    if (bytes[i] != value) return false;
  }
  return true;
}

// A large block given back serves the next large request: the same memory,
// none of its old bytes showing where zeroes were asked for, and a block
// that grows into it keeping its own bytes.
TEST_F(HeapTest, ALargeBlockGivenBackServesTheNextLargeRequest) {
  HANDLE heap = GetProcessHeap();
  const SIZE_T kLarge = 4 * 1024 * 1024;
  char* first = static_cast<char*>(HeapAlloc(heap, 0, kLarge));
  ASSERT_NE(nullptr, first);
  memset(first, 'd', kLarge);
  ASSERT_TRUE(HeapFree(heap, 0, first));

  char* again = static_cast<char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, kLarge / 2));
  ASSERT_NE(nullptr, again);
  EXPECT_EQ(first, again);
  EXPECT_EQ(kLarge / 2, HeapSize(heap, 0, again));
  EXPECT_TRUE(AllBytesAre(again, kLarge / 2, 0));
  memset(again, 'd', kLarge / 2);
  ASSERT_TRUE(HeapFree(heap, 0, again));

  const SIZE_T kBefore = 700 * 1024, kAfter = 1200 * 1024;
  char* growing = static_cast<char*>(HeapAlloc(heap, 0, kBefore));
  ASSERT_NE(nullptr, growing);
  memset(growing, 's', kBefore);
  char* grown = static_cast<char*>(HeapReAlloc(heap, HEAP_ZERO_MEMORY, growing, kAfter));
  ASSERT_NE(nullptr, grown);
  EXPECT_EQ(first, grown);
  EXPECT_EQ(kAfter, HeapSize(heap, 0, grown));
  EXPECT_TRUE(AllBytesAre(grown, kBefore, 's'));
  EXPECT_TRUE(AllBytesAre(grown + kBefore, kAfter - kBefore, 0));
  // It grows on in place, up to the room it came with.
  char* more = static_cast<char*>(HeapReAlloc(heap, HEAP_ZERO_MEMORY, grown, kLarge));
  EXPECT_EQ(grown, more);
  EXPECT_TRUE(AllBytesAre(more + kAfter, kLarge - kAfter, 0));
  EXPECT_TRUE(HeapFree(heap, 0, more));
}

#if defined(__SANITIZE_ADDRESS__)
// The room a block keeps for growing is not the caller's: a write one byte
// past the size is still reported, after growing in place and after a move.
TEST_F(HeapTest, WritePastTheSizeOfAGrownBlockIsCaught) {
  HANDLE heap = GetProcessHeap();
  auto grow_and_overrun = [heap](SIZE_T first, SIZE_T second) {
    char* block = static_cast<char*>(HeapAlloc(heap, 0, first));
    block = static_cast<char*>(HeapReAlloc(heap, HEAP_ZERO_MEMORY, block, second));
    block = static_cast<char*>(HeapReAlloc(heap, HEAP_ZERO_MEMORY, block, second + 1));
    volatile char* past = block + second + 1;
    *past = 'x';
  };
  EXPECT_DEATH(grow_and_overrun(512, 1024), "AddressSanitizer");
  EXPECT_DEATH(grow_and_overrun(512, 600), "AddressSanitizer");
}

// A large block kept for the next request is still given back as far as
// the caller is concerned: a read through the old pointer is reported.
TEST_F(HeapTest, ReadingALargeBlockGivenBackIsCaught) {
  HANDLE heap = GetProcessHeap();
  auto read_after_free = [heap]() {
    char* block = static_cast<char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 2 * 1024 * 1024));
    HeapFree(heap, 0, block);
    volatile char* stale = block + 1000;
    (void)*stale;
  };
  EXPECT_DEATH(read_after_free(), "AddressSanitizer");
}
#endif

TEST_F(HeapTest, ReAllocShrinkKeepsContents) {
  HANDLE heap = GetProcessHeap();
  char* block = static_cast<char*>(HeapAlloc(heap, 0, 64));
  ASSERT_NE(nullptr, block);
  memcpy(block, "0123456789", 10);
  block = static_cast<char*>(HeapReAlloc(heap, HEAP_ZERO_MEMORY, block, 4));
  ASSERT_NE(nullptr, block);
  EXPECT_EQ(4u, HeapSize(heap, 0, block));
  EXPECT_EQ(0, memcmp(block, "0123", 4));
  // Growing again zeroes from the new, smaller size on.
  block = static_cast<char*>(HeapReAlloc(heap, HEAP_ZERO_MEMORY, block, 10));
  ASSERT_NE(nullptr, block);
  EXPECT_EQ(0, memcmp(block, "0123\0\0\0\0\0\0", 10));
  EXPECT_TRUE(HeapFree(heap, 0, block));
}

TEST_F(HeapTest, ZeroSizeBlocksAreUniqueAndValid) {
  HANDLE heap = GetProcessHeap();
  void* a = HeapAlloc(heap, 0, 0);
  void* b = HeapAlloc(heap, 0, 0);
  ASSERT_NE(nullptr, a);
  ASSERT_NE(nullptr, b);
  EXPECT_NE(a, b);
  EXPECT_EQ(0u, HeapSize(heap, 0, a));
  EXPECT_TRUE(HeapFree(heap, 0, a));
  EXPECT_TRUE(HeapFree(heap, 0, b));
}

TEST_F(HeapTest, BadArguments) {
  HANDLE heap = GetProcessHeap();
  SetLastError(0);
  EXPECT_EQ(nullptr, HeapAlloc(reinterpret_cast<HANDLE>(0x1234), 0, 10));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_EQ(nullptr, HeapReAlloc(heap, 0, nullptr, 10));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_TRUE(HeapFree(heap, 0, nullptr));
  EXPECT_EQ(static_cast<SIZE_T>(-1), HeapSize(heap, 0, nullptr));
  SetLastError(0);
  EXPECT_EQ(nullptr, HeapAlloc(heap, 0, static_cast<SIZE_T>(-1)));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
  EXPECT_EQ(nullptr, HeapAlloc(heap, 0, static_cast<SIZE_T>(-1) - 8));  // header overflow
  EXPECT_EQ(nullptr, HeapAlloc(heap, 0, 0x80000000u));

  // A pointer into the middle of a block is not a block: refused, and the
  // block it points into survives.
  char* block = static_cast<char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 64));
  ASSERT_NE(nullptr, block);
  SetLastError(0);
  EXPECT_FALSE(HeapFree(heap, 0, block + 32));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_EQ(block + 32, LocalFree(block + 32));
  EXPECT_EQ(static_cast<SIZE_T>(-1), HeapSize(heap, 0, block + 32));
  EXPECT_EQ(64u, HeapSize(heap, 0, block));
  EXPECT_TRUE(HeapFree(heap, 0, block));
}

TEST_F(HeapTest, FailHeapAfterCountsExactly) {
  HANDLE heap = GetProcessHeap();
  for (long allowed = 0; allowed < 4; ++allowed) {
    PlatformFailHeapAfter(allowed);
    std::vector<void*> blocks;
    for (long i = 0; i < allowed; ++i) {
      void* block = HeapAlloc(heap, 0, 16);
      ASSERT_NE(nullptr, block) << "allocation " << i << " of " << allowed;
      blocks.push_back(block);
    }
    // Releasing does not count; every later allocation fails, of any kind.
    ASSERT_TRUE(HeapFree(heap, 0, blocks.empty() ? nullptr : blocks.back()));
    if (!blocks.empty()) blocks.pop_back();
    SetLastError(0);
    EXPECT_EQ(nullptr, HeapAlloc(heap, 0, 16));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
    EXPECT_EQ(nullptr, HeapAlloc(heap, 0, 16));
    EXPECT_EQ(nullptr, LocalAlloc(LPTR, 16));
    PlatformFailHeapAfter(-1);
    for (void* block : blocks) EXPECT_TRUE(HeapFree(heap, 0, block));
  }
  void* block = HeapAlloc(heap, 0, 16);
  EXPECT_NE(nullptr, block) << "PlatformFailHeapAfter(-1) did not restore the heap";
  HeapFree(heap, 0, block);
}

TEST_F(HeapTest, FailedReAllocLeavesOldBlockIntact) {
  HANDLE heap = GetProcessHeap();
  char* block = static_cast<char*>(HeapAlloc(heap, 0, 512));
  ASSERT_NE(nullptr, block);
  memset(block, 'k', 512);
  PlatformFailHeapAfter(0);
  SetLastError(0);
  EXPECT_EQ(nullptr, HeapReAlloc(heap, HEAP_ZERO_MEMORY, block, 1024));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
  EXPECT_EQ(nullptr, LocalReAlloc(block, 2048, LMEM_ZEROINIT));
  PlatformFailHeapAfter(-1);
  EXPECT_EQ(512u, HeapSize(heap, 0, block));
  for (int i = 0; i < 512; ++i) ASSERT_EQ('k', block[i]) << i;
  // A size the heap refuses outright leaves it intact as well.
  EXPECT_EQ(nullptr, HeapReAlloc(heap, 0, block, static_cast<SIZE_T>(-1)));
  EXPECT_EQ(512u, HeapSize(heap, 0, block));
  EXPECT_TRUE(HeapFree(heap, 0, block));
}

// Under a test limit every call refuses exactly the blocks larger than it, a
// block it will not resize stays as it was, and 0 restores the real limit.
TEST_F(HeapTest, BlockLimitRefusesLargerBlocksByEveryCall) {
  HANDLE heap = GetProcessHeap();
  PlatformLimitHeapBlock(4096);
  for (SIZE_T size : {SIZE_T{0}, SIZE_T{4096}, SIZE_T{4097}, SIZE_T{0x80000000u}}) {
    SCOPED_TRACE(size);
    const bool fits = size <= 4096;
    void* fresh = HeapAlloc(heap, 0, size);
    EXPECT_EQ(fits, fresh != nullptr);
    HeapFree(heap, 0, fresh);
    fresh = LocalAlloc(LPTR, size);
    EXPECT_EQ(fits, fresh != nullptr);
    LocalFree(fresh);
    for (bool local : {false, true}) {
      char* block = static_cast<char*>(HeapAlloc(heap, 0, 16));
      ASSERT_NE(nullptr, block);
      memcpy(block, "0123456789abcdef", 16);
      SetLastError(0);
      void* resized = local ? LocalReAlloc(block, size, 0) : HeapReAlloc(heap, 0, block, size);
      EXPECT_EQ(fits, resized != nullptr) << local;
      if (resized == nullptr) {
        EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
        EXPECT_EQ(16u, HeapSize(heap, 0, block));
        EXPECT_EQ(0, memcmp(block, "0123456789abcdef", 16));
        resized = block;
      }
      EXPECT_TRUE(HeapFree(heap, 0, resized));
    }
  }
  PlatformLimitHeapBlock(0);
  void* block = HeapAlloc(heap, 0, 1 << 20);
  EXPECT_NE(nullptr, block);
  HeapFree(heap, 0, block);
  EXPECT_EQ(nullptr, HeapAlloc(heap, 0, 0x80000000u));
}

// A block that grew before the limit was set has room past it: a resize into
// that room is refused all the same, and one back under the limit works.
TEST_F(HeapTest, BlockLimitHoldsForRoomABlockAlreadyHas) {
  HANDLE heap = GetProcessHeap();
  char* block = static_cast<char*>(HeapAlloc(heap, 0, 3000));
  ASSERT_NE(nullptr, block);
  block = static_cast<char*>(HeapReAlloc(heap, HEAP_ZERO_MEMORY, block, 3500));  // moves, room 6000
  ASSERT_NE(nullptr, block);
  memset(block, 'r', 3500);
  PlatformLimitHeapBlock(4000);
  EXPECT_EQ(nullptr, HeapReAlloc(heap, HEAP_ZERO_MEMORY, block, 5000));
  EXPECT_EQ(nullptr, LocalReAlloc(block, 4001, LMEM_ZEROINIT));
  EXPECT_EQ(3500u, HeapSize(heap, 0, block));
  block = static_cast<char*>(HeapReAlloc(heap, HEAP_ZERO_MEMORY, block, 4000));
  ASSERT_NE(nullptr, block);
  EXPECT_EQ(4000u, HeapSize(heap, 0, block));
  for (int i = 0; i < 3500; ++i) ASSERT_EQ('r', block[i]) << i;
  for (int i = 3500; i < 4000; ++i) ASSERT_EQ(0, block[i]) << i;
  EXPECT_TRUE(HeapFree(heap, 0, block));
}

TEST_F(HeapTest, LocalMemory) {
  unsigned char* block = static_cast<unsigned char*>(LocalAlloc(LPTR, 300));
  ASSERT_NE(nullptr, block);
  EXPECT_EQ(blocks_before_ + 1, PlatformLiveHeapBlocks());
  for (int i = 0; i < 300; ++i) ASSERT_EQ(0, block[i]);
  memset(block, 0xAB, 300);
  block = static_cast<unsigned char*>(LocalReAlloc(block, 5000, LMEM_ZEROINIT));
  ASSERT_NE(nullptr, block);
  for (int i = 0; i < 300; ++i) ASSERT_EQ(0xAB, block[i]) << i;
  for (int i = 300; i < 5000; ++i) ASSERT_EQ(0, block[i]) << i;
  EXPECT_EQ(nullptr, LocalFree(block));
  EXPECT_EQ(nullptr, LocalFree(nullptr));
}

TEST_F(HeapTest, LiveBlocksCountsHeapAndLocalTogether) {
  HANDLE heap = GetProcessHeap();
  void* a = HeapAlloc(heap, 0, 10);
  void* b = LocalAlloc(LMEM_FIXED, 10);
  EXPECT_EQ(blocks_before_ + 2, PlatformLiveHeapBlocks());
  a = HeapReAlloc(heap, 0, a, 10000);  // a move is not a new block
  ASSERT_NE(nullptr, a);
  EXPECT_EQ(blocks_before_ + 2, PlatformLiveHeapBlocks());
  HeapFree(heap, 0, a);
  LocalFree(b);
  EXPECT_EQ(blocks_before_, PlatformLiveHeapBlocks());
}

TEST_F(HeapTest, ManyThreadsKeepTheCountRight) {
  HANDLE heap = GetProcessHeap();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([heap, t] {
      for (int i = 0; i < 2000; ++i) {
        char* block = static_cast<char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 8 + (i % 64)));
        if (block == nullptr) continue;
        block[0] = static_cast<char>(t);
        block = static_cast<char*>(HeapReAlloc(heap, HEAP_ZERO_MEMORY, block, 200));
        HeapFree(heap, HEAP_NO_SERIALIZE, block);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(blocks_before_, PlatformLiveHeapBlocks());
}

TEST(LastErrorTest, EachThreadHasItsOwn) {
  SetLastError(1234);
  DWORD seen_in_thread = 99;
  DWORD set_in_thread = 0;
  std::thread other([&] {
    seen_in_thread = GetLastError();
    SetLastError(ERROR_FILE_NOT_FOUND);
    set_in_thread = GetLastError();
  });
  other.join();
  EXPECT_EQ(0u, seen_in_thread);  // a new thread starts at 0
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), set_in_thread);
  EXPECT_EQ(1234u, GetLastError());
  SetLastError(0);
  EXPECT_EQ(0u, GetLastError());
}

}  // namespace
