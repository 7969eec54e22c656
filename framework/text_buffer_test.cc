#include "text_buffer.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>

#include <string>

#include "ceplatform.h"

namespace {

SIZE_T StorageSize(const TextBuffer& buffer) {
  return HeapSize(GetProcessHeap(), 0, buffer.data);
}

// Every byte from the NUL after the contents to the end of the storage is 0.
bool TailIsZero(const TextBuffer& buffer) {
  SIZE_T size = StorageSize(buffer);
  for (SIZE_T i = buffer.length; i < size; ++i) {
    if (buffer.data[i] != 0) return false;
  }
  return true;
}

class HeapFailureGuard {
 public:
  explicit HeapFailureGuard(long count) { PlatformFailHeapAfter(count); }
  ~HeapFailureGuard() { PlatformFailHeapAfter(-1); }
};

TEST(TextBufferTest, NewBufferHoldsNothing) {
  TextBuffer buffer;
  EXPECT_EQ(nullptr, buffer.data);
  EXPECT_EQ(0, buffer.length);
  EXPECT_EQ(512, buffer.blockSize);
  EXPECT_EQ(1, buffer.IsEmpty());
}

TEST(TextBufferTest, NothingToAppendAllocatesNothing) {
  long before = PlatformLiveHeapBlocks();
  TextBuffer buffer;
  EXPECT_EQ(0, buffer.Append("abc", 0));
  EXPECT_EQ(0, buffer.Append(nullptr, 3));
  EXPECT_EQ(0, buffer.Append("abc", -1));
  EXPECT_EQ(0, buffer.AppendString(""));
  EXPECT_EQ(0, buffer.AppendString(nullptr));
  EXPECT_EQ(1, buffer.IsEmpty());
  EXPECT_EQ(0, buffer.length);
  EXPECT_EQ(before, PlatformLiveHeapBlocks());
}

TEST(TextBufferTest, NegativeCountLeavesContentsAlone) {
  TextBuffer buffer;
  ASSERT_EQ(3, buffer.AppendString("abc"));
  EXPECT_EQ(0, buffer.Append("xyz", -5));
  EXPECT_EQ(3, buffer.length);
  EXPECT_STREQ("abc", buffer.data);
}

// A first append allocates the smallest number of whole blocks that hold the
// bytes and their NUL.
TEST(TextBufferTest, FirstAppendAllocatesWholeBlocks) {
  struct Case {
    int count;
    SIZE_T storage;
  } cases[] = {{1, 512}, {511, 512}, {512, 1024}, {513, 1024}, {1023, 1024}, {1024, 1536}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.count);
    std::string bytes(c.count, 'x');
    TextBuffer buffer;
    ASSERT_EQ(c.count, buffer.Append(bytes.data(), c.count));
    EXPECT_EQ(c.count, buffer.length);
    EXPECT_EQ(c.storage, StorageSize(buffer));
    EXPECT_EQ(0, buffer.data[c.count]);
    EXPECT_TRUE(TailIsZero(buffer));
    EXPECT_EQ(0, memcmp(bytes.data(), buffer.data, c.count));
  }
}

TEST(TextBufferTest, LaterAppendGrowsOnlyWhenTheNulNoLongerFits) {
  struct Case {
    int held;
    int added;
    SIZE_T storage;
  } cases[] = {{510, 1, 512}, {511, 1, 1024}, {100, 411, 512}, {100, 412, 1024},
               {1023, 1, 1536}, {1, 2000, 2048}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.held << "+" << c.added);
    TextBuffer buffer;
    std::string first(c.held, 'a');
    std::string second(c.added, 'b');
    ASSERT_EQ(c.held, buffer.Append(first.data(), c.held));
    ASSERT_EQ(c.added, buffer.Append(second.data(), c.added));
    EXPECT_EQ(c.held + c.added, buffer.length);
    EXPECT_EQ(c.storage, StorageSize(buffer));
    EXPECT_EQ(first + second, std::string(buffer.data, buffer.length));
    EXPECT_TRUE(TailIsZero(buffer));
  }
}

TEST(TextBufferTest, BlockSizeNeverChanges) {
  TextBuffer buffer;
  std::string bytes(3000, 'q');
  buffer.Append(bytes.data(), 3000);
  buffer.Clear();
  buffer.Append("x", 1);
  EXPECT_EQ(512, buffer.blockSize);
}

TEST(TextBufferTest, NulInsideDataIsCounted) {
  TextBuffer buffer;
  ASSERT_EQ(5, buffer.Append("ab\0cd", 5));
  ASSERT_EQ(2, buffer.Append("\0e", 2));
  EXPECT_EQ(7, buffer.length);
  EXPECT_EQ(0, memcmp("ab\0cd\0e", buffer.data, 7));
  EXPECT_EQ(0, buffer.data[7]);
  EXPECT_EQ(3, buffer.AppendString("xyz"));
  EXPECT_EQ(10, buffer.length);
  EXPECT_EQ(0, memcmp("ab\0cd\0exyz", buffer.data, 11));
}

TEST(TextBufferTest, ClearReleasesAndAppendStartsAfresh) {
  long before = PlatformLiveHeapBlocks();
  TextBuffer buffer;
  std::string bytes(1500, 'z');
  buffer.Append(bytes.data(), 1500);
  EXPECT_EQ(before + 1, PlatformLiveHeapBlocks());
  buffer.Clear();
  EXPECT_EQ(nullptr, buffer.data);
  EXPECT_EQ(0, buffer.length);
  EXPECT_EQ(1, buffer.IsEmpty());
  EXPECT_EQ(before, PlatformLiveHeapBlocks());
  buffer.Clear();  // without storage: nothing happens
  EXPECT_EQ(before, PlatformLiveHeapBlocks());

  ASSERT_EQ(2, buffer.AppendString("hi"));
  EXPECT_EQ(512u, StorageSize(buffer));
  EXPECT_STREQ("hi", buffer.data);
  EXPECT_EQ(0, buffer.IsEmpty());
}

TEST(TextBufferTest, DestructorReleasesStorage) {
  long before = PlatformLiveHeapBlocks();
  {
    TextBuffer buffer;
    buffer.AppendString("abc");
    EXPECT_EQ(before + 1, PlatformLiveHeapBlocks());
  }
  TextBuffer* onHeap = new TextBuffer;
  onHeap->AppendString("abc");
  delete onHeap;
  EXPECT_EQ(before, PlatformLiveHeapBlocks());
}

TEST(TextBufferTest, AppendOfItsOwnBytesSurvivesGrowth) {
  TextBuffer buffer;
  std::string bytes(400, 'k');
  bytes[0] = 'A';
  buffer.Append(bytes.data(), 400);
  ASSERT_EQ(400, buffer.Append(buffer.data, 400));
  EXPECT_EQ(1024u, StorageSize(buffer));
  EXPECT_EQ(bytes + bytes, std::string(buffer.data, buffer.length));
}

// ---- Heap failures --------------------------------------------------------------

TEST(TextBufferTest, FailedFirstAllocationLeavesNoStorage) {
  TextBuffer buffer;
  {
    HeapFailureGuard fail(0);
    EXPECT_EQ(0, buffer.AppendString("abc"));
  }
  EXPECT_EQ(nullptr, buffer.data);
  EXPECT_EQ(0, buffer.length);
  EXPECT_EQ(1, buffer.IsEmpty());
  EXPECT_EQ(3, buffer.AppendString("abc"));
}

TEST(TextBufferTest, FailedGrowthKeepsTheContents) {
  TextBuffer buffer;
  std::string first(500, 'a');
  ASSERT_EQ(500, buffer.Append(first.data(), 500));
  char* storage = buffer.data;
  std::string more(100, 'b');
  {
    HeapFailureGuard fail(0);
    EXPECT_EQ(0, buffer.Append(more.data(), 100));
    // Still fits in the block held: no allocation needed, so it works.
    EXPECT_EQ(11, buffer.Append(more.data(), 11));
  }
  EXPECT_EQ(storage, buffer.data);
  EXPECT_EQ(511, buffer.length);
  EXPECT_EQ(first + std::string(11, 'b'), std::string(buffer.data, buffer.length));
  EXPECT_EQ(0, buffer.data[511]);
  EXPECT_EQ(512u, StorageSize(buffer));
}

TEST(TextBufferTest, FailedGrowthOnFirstAppendKeepsOneEmptyBlock) {
  TextBuffer buffer;
  std::string bytes(600, 'c');
  {
    HeapFailureGuard fail(1);  // the first block succeeds, the growth fails
    EXPECT_EQ(0, buffer.Append(bytes.data(), 600));
  }
  ASSERT_NE(nullptr, buffer.data);
  EXPECT_EQ(0, buffer.length);
  EXPECT_EQ(0, buffer.IsEmpty());
  EXPECT_EQ(512u, StorageSize(buffer));
  EXPECT_TRUE(TailIsZero(buffer));
}

// ---- The int boundary -----------------------------------------------------------

// A length is an int: a buffer near INT_MAX refuses an append whose bytes and
// NUL would pass it, before touching anything. The length is faked on a small
// real block; an append that went ahead would write far past that block.
TEST(TextBufferTest, AppendPastIntMaxIsRefusedAndKeepsTheBytes) {
  const std::string piece(600, 'p');
  struct Case {
    int length;
    int count;
  } cases[] = {
      {INT_MAX - 1, 1},        // the byte fits, its NUL does not
      {INT_MAX - 10, 10},
      {INT_MAX, 1},
      {INT_MAX - 1, INT_MAX},  // the sum is past an int
      {3, INT_MAX - 3},        // a real length: one byte too many with the NUL
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.length) + " + " + std::to_string(c.count));
    TextBuffer buffer;
    ASSERT_EQ(3, buffer.AppendString("abc"));
    char* storage = buffer.data;
    buffer.length = c.length;
    EXPECT_EQ(0, buffer.Append(piece.data(), c.count));
    EXPECT_EQ(c.length, buffer.length);
    EXPECT_EQ(storage, buffer.data);
    buffer.length = 3;
    EXPECT_EQ(std::string("abc", 4), std::string(buffer.data, 4));
    EXPECT_TRUE(TailIsZero(buffer));
  }
}

// ---- The layout the server shares ------------------------------------------------

// The server calls Clear and IsEmpty through the object's own table, in the
// slots after the virtual destructor (two entries in this ABI).
TEST(TextBufferTest, VirtualTableOrderIsDestructorClearIsEmpty) {
  typedef void (*ClearSlot)(TextBuffer*);
  typedef int (*IsEmptySlot)(TextBuffer*);
  TextBuffer buffer;
  buffer.AppendString("abc");
  void** table = *reinterpret_cast<void***>(&buffer);
  EXPECT_EQ(0, reinterpret_cast<IsEmptySlot>(table[3])(&buffer));
  reinterpret_cast<ClearSlot>(table[2])(&buffer);
  EXPECT_EQ(nullptr, buffer.data);
  EXPECT_EQ(1, reinterpret_cast<IsEmptySlot>(table[3])(&buffer));
}

TEST(TextBufferTest, FieldsFollowTheTable) {
  TextBuffer buffer;
  char* base = reinterpret_cast<char*>(&buffer);
  EXPECT_EQ(sizeof(void*), static_cast<size_t>(reinterpret_cast<char*>(&buffer.data) - base));
  EXPECT_EQ(2 * sizeof(void*), static_cast<size_t>(reinterpret_cast<char*>(&buffer.length) - base));
  EXPECT_EQ(2 * sizeof(void*) + 4,
            static_cast<size_t>(reinterpret_cast<char*>(&buffer.blockSize) - base));
}

}  // namespace
