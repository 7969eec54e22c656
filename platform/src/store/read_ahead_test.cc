// Reads served from a handle's read-ahead: every record once and in order
// across batch boundaries, writes of this process seen at once, other
// processes' writes seen within the stamp lifetime, no record skipped when a
// read fails after the record was read ahead, and first records shared
// between handles only while they are fresh.
#include <sys/wait.h>
#include <time.h>

#include <chrono>
#include <set>

#include "read_ahead.h"
#include "store_test_util.h"

namespace ceplatform {
namespace store {
namespace {

class ReadAheadTest : public OnEachBackend<StoreTest> {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    ASSERT_NE(0u, CreateBoard(u"board"));
    writer_ = OpenByName(u"board");
    ASSERT_NE(INVALID_HANDLE_VALUE, writer_);
  }
  void TearDown() override {
    CloseHandle(writer_);
    StoreTest::TearDown();
  }
  // The text of post i, `size` bytes long.
  static std::string Text(int i, size_t size = 16) {
    std::string text = "post " + std::to_string(i) + " ";
    text.resize(size, 'x');
    return text;
  }
  // Posts with times 1..count (the board reads newest first).
  void Fill(int count, size_t size = 16) {
    for (int i = 1; i <= count; ++i) {
      ASSERT_NE(0u, WritePost(writer_, static_cast<uint64_t>(i), Text(i, size))) << i;
    }
  }
  // Writes a post through another process's own connections (this
  // process's count of writes does not move), then waits until copies read
  // before it have aged out.
  void PostFromAnotherProcess(uint64_t time, const std::string& text) {
    pid_t child = fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
      HANDLE w = OpenByName(u"board");
      bool ok = w != INVALID_HANDLE_VALUE && WritePost(w, time, text) != 0;
      _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    struct timespec pause = {0, 2 * kStampLifetimeNs};
    nanosleep(&pause, nullptr);
  }

  HANDLE writer_ = INVALID_HANDLE_VALUE;
};

STORE_TEST_ON_EACH_BACKEND(ReadAheadTest);

TEST_P(ReadAheadTest, EveryRecordOnceAcrossBatchesAndByteLimits) {
  // Counts around the batch sizes (21, 42, 84, ...), and records large enough
  // that a batch stops at its byte limit before its row count.
  struct Case {
    int posts;
    size_t size;
  } cases[] = {{1, 16}, {20, 16}, {21, 16}, {22, 16}, {63, 16}, {64, 16}, {2100, 16}, {40, 40000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.posts << " posts of " << c.size << " bytes");
    CloseHandle(writer_);
    CEOID oid = 0;
    HANDLE old = OpenByName(u"board", 0, &oid);
    ASSERT_NE(INVALID_HANDLE_VALUE, old);
    CloseHandle(old);
    ASSERT_TRUE(CeDeleteDatabase(oid));
    ASSERT_NE(0u, CreateBoard(u"board"));
    writer_ = OpenByName(u"board");
    Fill(c.posts, c.size);
    HANDLE reader = OpenByName(u"board");
    DWORD end = 0;
    std::vector<Post> posts = ReadAll(reader, &end);
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), end);
    ASSERT_EQ(static_cast<size_t>(c.posts), posts.size());
    for (int i = 0; i < c.posts; ++i) {
      EXPECT_EQ(static_cast<uint64_t>(c.posts - i), posts[i].time) << i;
      EXPECT_EQ(c.size, posts[i].text.size()) << i;
    }
    CloseHandle(reader);
  }
}

TEST_P(ReadAheadTest, WritesOfThisProcessShowAtOnce) {
  Fill(10);
  HANDLE reader = OpenByName(u"board");
  Post post;
  ASSERT_TRUE(ReadPost(reader, &post));  // post 10; 9..1 are read ahead now
  ASSERT_EQ(10u, post.time);

  // A post older than the position appears, a deleted one does not.
  CEOID added = WritePost(writer_, 5, "added between 5 and 4");  // 7 is deleted below
  ASSERT_NE(0u, added);
  HANDLE finder = OpenByName(u"board");
  std::vector<Post> all = ReadAll(finder);
  CloseHandle(finder);
  CEOID deleted = 0;
  for (const Post& p : all) {
    if (p.time == 7) deleted = p.oid;
  }
  ASSERT_NE(0u, deleted);
  ASSERT_TRUE(CeDeleteRecord(writer_, deleted));

  std::vector<std::string> texts;
  for (const Post& p : ReadAll(reader)) texts.push_back(p.text);
  // Equal times are read newest first, so the added post comes before 5.
  std::vector<std::string> expected = {Text(9), Text(8), Text(6), "added between 5 and 4",
                                       Text(5), Text(4), Text(3), Text(2), Text(1)};
  EXPECT_EQ(expected, texts);
  CloseHandle(reader);
}

TEST_P(ReadAheadTest, DatabaseDeletedAfterReadAheadEndsTheReads) {
  Fill(5);
  CEOID oid = 0;
  HANDLE reader = OpenByName(u"board", CEDB_AUTOINCREMENT, &oid);
  Post post;
  ASSERT_TRUE(ReadPost(reader, &post));
  ASSERT_TRUE(CeDeleteDatabase(oid));
  DWORD error = 0;
  EXPECT_FALSE(ReadPost(reader, &post, &error));
  EXPECT_EQ(static_cast<DWORD>(ERROR_KEY_DELETED), error);
  CloseHandle(reader);
}

TEST_P(ReadAheadTest, WritesOfAnotherProcessShowWithinTheLifetime) {
  Fill(4);
  HANDLE reader = OpenByName(u"board");
  Post post;
  ASSERT_TRUE(ReadPost(reader, &post));  // 4; 3, 2, 1 read ahead

  ASSERT_NO_FATAL_FAILURE(PostFromAnotherProcess(2, "from the child"));
  std::vector<std::string> texts;
  for (const Post& p : ReadAll(reader)) texts.push_back(p.text);
  std::vector<std::string> expected = {Text(3), "from the child", Text(2), Text(1)};
  EXPECT_EQ(expected, texts);
  CloseHandle(reader);
}

TEST_P(ReadAheadTest, FailedReadSkipsNoRecord) {
  Fill(3);
  HANDLE reader = OpenByName(u"board");
  Post post;
  ASSERT_TRUE(ReadPost(reader, &post));
  ASSERT_EQ(3u, post.time);

  // No memory for the buffer: the record stays next.
  PlatformFailHeapAfter(0);
  DWORD error = 0;
  EXPECT_FALSE(ReadPost(reader, &post, &error));
  PlatformFailHeapAfter(-1);
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), error);

  // A buffer too small without CEDB_ALLOWREALLOC: the size is told and the
  // record stays next.
  BYTE small[8];
  LPBYTE buffer = small;
  DWORD size = sizeof(small);
  WORD count = 0;
  EXPECT_EQ(0u, CeReadRecordProps(reader, 0, &count, nullptr, &buffer, &size));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_GT(size, sizeof(small));

  std::vector<Post> rest = ReadAll(reader);
  ASSERT_EQ(2u, rest.size());
  EXPECT_EQ(2u, rest[0].time);
  EXPECT_EQ(1u, rest[1].time);
  CloseHandle(reader);
}

TEST_P(ReadAheadTest, FirstRecordsAreSharedBetweenHandlesOnlyWhileFresh) {
  Fill(3);
  ASSERT_NE(0u, CreateBoard(u"other"));
  HANDLE other = OpenByName(u"other");
  ASSERT_NE(0u, WritePost(other, 7, "other board"));
  CloseHandle(other);
  auto first = [](const std::u16string& name) {
    HANDLE h = OpenByName(name);
    Post post;
    bool read = ReadPost(h, &post);
    CloseHandle(h);
    return read ? post.text : std::string("(nothing)");
  };
  using Clock = std::chrono::steady_clock;
  auto quick = [](Clock::time_point since) {
    return Clock::now() - since < std::chrono::nanoseconds(kStampLifetimeNs / 2);
  };

  // A second reader of the same first records takes the first one's batch,
  // and no board takes another's.
  Clock::time_point read = Clock::now();
  EXPECT_EQ(Text(3), first(u"board"));
  uint64_t shared = ReadAhead::shared_count();
  EXPECT_EQ(Text(3), first(u"board"));
  EXPECT_EQ("other board", first(u"other"));
  EXPECT_EQ(Text(3), first(u"board"));
  if (quick(read)) {
    EXPECT_EQ(shared + 2, ReadAhead::shared_count());
  }

  // A write of this process shows at once.
  ASSERT_NE(0u, WritePost(writer_, 9, "newest"));
  shared = ReadAhead::shared_count();
  EXPECT_EQ("newest", first(u"board"));
  EXPECT_EQ(shared, ReadAhead::shared_count());

  // Another process's write shows once the shared batch has aged out.
  ASSERT_NO_FATAL_FAILURE(PostFromAnotherProcess(10, "from the child"));
  EXPECT_EQ("from the child", first(u"board"));
  EXPECT_EQ("other board", first(u"other"));
}

// A page sought at a position is shared like a first page: by readers of
// the same database and position only, and only while fresh.
TEST_P(ReadAheadTest, PagesAtAPositionAreSharedOnlyWhileFresh) {
  Fill(30);
  auto at = [](DWORD place) {
    HANDLE h = OpenByName(u"board");
    std::string text = "(nothing)";
    Post post;
    if (CeSeekDatabase(h, CEDB_SEEK_BEGINNING, place, nullptr) != 0 && ReadPost(h, &post)) {
      text = post.text;
    }
    CloseHandle(h);
    return text;
  };
  EXPECT_EQ(Text(20), at(10));
  // The second seek shares the first one's page while it is fresh. On a
  // machine slow enough to let the page age out between the two, the second
  // reads it anew and the next try shares that one.
  bool shared = false;
  for (int attempt = 0; attempt < 5 && !shared; ++attempt) {
    uint64_t before = ReadAhead::shared_count();
    EXPECT_EQ(Text(20), at(10));
    shared = ReadAhead::shared_count() >= before + 1;
  }
  EXPECT_TRUE(shared) << "a page sought again while fresh is shared";
  EXPECT_EQ(Text(19), at(11));

  // A write of this process shows at once, to a seek as to a read.
  ASSERT_NE(0u, WritePost(writer_, 100, "newest"));
  EXPECT_EQ(Text(21), at(10));
  ASSERT_NO_FATAL_FAILURE(PostFromAnotherProcess(101, "from the child"));
  EXPECT_EQ(Text(22), at(10));
}

// A reader that has read to the end knows it from the query that found the
// last record, while that stands; a record this process adds after it is
// read all the same, and so is one of another process once the copy has
// aged out.
TEST_P(ReadAheadTest, TheEndOfADatabaseHoldsOnlyWhileFresh) {
  for (uint64_t time : {100, 101, 102}) ASSERT_NE(0u, WritePost(writer_, time, "post"));
  HANDLE reader = OpenByName(u"board");
  DWORD end = 0;
  EXPECT_EQ(3u, ReadAll(reader, &end).size());
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), end);
  ASSERT_NE(0u, WritePost(writer_, 50, "oldest, written here"));
  Post post;
  ASSERT_TRUE(ReadPost(reader, &post));
  EXPECT_EQ("oldest, written here", post.text);
  EXPECT_FALSE(ReadPost(reader, &post, &end));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), end);
  ASSERT_NO_FATAL_FAILURE(PostFromAnotherProcess(10, "older, from the child"));
  ASSERT_TRUE(ReadPost(reader, &post));
  EXPECT_EQ("older, from the child", post.text);
  CloseHandle(reader);
}

TEST_P(ReadAheadTest, HandleWithoutAutoIncrementKeepsSeeingTheFirstRecord) {
  Fill(2);
  HANDLE reader = OpenByName(u"board", 0);
  Post post;
  ASSERT_TRUE(ReadPost(reader, &post));
  EXPECT_EQ(2u, post.time);
  ASSERT_NE(0u, WritePost(writer_, 9, "newest"));
  ASSERT_TRUE(ReadPost(reader, &post));
  EXPECT_EQ("newest", post.text);
  CloseHandle(reader);
}

}  // namespace
}  // namespace store
}  // namespace ceplatform
