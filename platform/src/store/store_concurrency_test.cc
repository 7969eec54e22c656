// Many handles, threads and processes on one store file.
#include <gmock/gmock.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

#include "store.h"
#include "store_test_util.h"

namespace ceplatform {
namespace store {
namespace {

using ::testing::ElementsAreArray;

class StoreConcurrencyTest : public OnEachBackend<StoreTest> {};

STORE_TEST_ON_EACH_BACKEND(StoreConcurrencyTest);

TEST_P(StoreConcurrencyTest, TwoHandlesReadIndependently) {
  ASSERT_NE(0u, CreateBoard(u"TULVAN_two"));
  HANDLE w = OpenByName(u"TULVAN_two");
  std::vector<CEOID> newestFirst;
  for (int i = 0; i < 6; ++i) newestFirst.insert(newestFirst.begin(), WritePost(w, i, "p"));
  CloseHandle(w);

  HANDLE a = OpenByName(u"TULVAN_two");
  HANDLE b = OpenByName(u"TULVAN_two");
  std::vector<CEOID> readA, readB;
  Post post;
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(ReadPost(a, &post));
    readA.push_back(post.oid);
    for (int i = 0; i < 2; ++i) {
      ASSERT_TRUE(ReadPost(b, &post));
      readB.push_back(post.oid);
    }
  }
  for (CEOID oid : Oids(ReadAll(a))) readA.push_back(oid);
  EXPECT_EQ(newestFirst, readA);
  EXPECT_EQ(newestFirst, readB);
  CloseHandle(a);
  CloseHandle(b);
}

// A reader goes on through its listing while another thread adds posts
// before and after its position: it sees every post that was there, each
// once, in order.
TEST_P(StoreConcurrencyTest, ReadsWhileAnotherThreadWrites) {
  ASSERT_NE(0u, CreateBoard(u"TULVAN_rw"));
  HANDLE w = OpenByName(u"TULVAN_rw");
  std::set<CEOID> before;
  for (int i = 0; i < 100; ++i) before.insert(WritePost(w, 1000 + 10 * i, "old"));
  CloseHandle(w);

  std::atomic<bool> failed{false};
  std::thread writer([&] {
    HANDLE h = OpenByName(u"TULVAN_rw");
    for (int i = 0; i < 200; ++i) {
      // Newer than everything, and between the old posts.
      uint64_t time = i % 2 ? 100000 + i : 1005 + 10 * (i % 100);
      if (WritePost(h, time, "new") == 0) failed = true;
    }
    CloseHandle(h);
  });
  HANDLE r = OpenByName(u"TULVAN_rw");
  std::vector<Post> seen;
  Post post;
  DWORD end = 0;
  while (ReadPost(r, &post, &end)) {
    seen.push_back(post);
    std::this_thread::yield();
  }
  writer.join();
  CloseHandle(r);
  EXPECT_FALSE(failed);
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), end);
  std::set<CEOID> distinct;
  for (size_t i = 0; i < seen.size(); ++i) {
    EXPECT_TRUE(distinct.insert(seen[i].oid).second) << "read twice: " << seen[i].oid;
    if (i > 0) {
      EXPECT_TRUE(seen[i - 1].time > seen[i].time ||
                  (seen[i - 1].time == seen[i].time && seen[i - 1].oid > seen[i].oid))
          << "out of order at " << i;
    }
  }
  for (CEOID oid : before) EXPECT_EQ(1u, distinct.count(oid)) << "missed " << oid;
}

// Eight threads post 200 times each, as the board does (open, write,
// close): every post is there exactly once.
TEST_P(StoreConcurrencyTest, EightThreadsTwoHundredWritesEach) {
  constexpr int kThreads = 8;
  constexpr int kEach = 200;
  CEOID db = CreateBoard(u"TULVAN_busy");
  ASSERT_NE(0u, db);
  std::vector<std::vector<CEOID>> written(kThreads);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        HANDLE h = OpenByName(u"TULVAN_busy");
        if (h == INVALID_HANDLE_VALUE) {
          ++failures;
          continue;
        }
        CEOID oid = WritePost(h, static_cast<uint64_t>(t) * 1000 + i, "post");
        if (oid == 0) ++failures;
        written[t].push_back(oid);
        CloseHandle(h);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(0, failures.load());
  std::vector<CEOID> all;
  for (const auto& list : written) all.insert(all.end(), list.begin(), list.end());
  std::sort(all.begin(), all.end());
  EXPECT_EQ(all.end(), std::adjacent_find(all.begin(), all.end())) << "an identifier twice";

  HANDLE h = OpenByName(u"TULVAN_busy");
  std::vector<CEOID> read = Oids(ReadAll(h));
  CloseHandle(h);
  std::sort(read.begin(), read.end());
  EXPECT_EQ(all, read);
  CEOIDINFO info;
  ASSERT_TRUE(CeOidGetInfo(db, &info));
  EXPECT_EQ(kThreads * kEach, info.infDatabase.wNumRecords);
}

// Any number of threads share at most kMaxConnections connections: more
// threads than that, reading and writing at once, all finish (none waits
// forever for a connection) and never hold more connections open.
TEST_P(StoreConcurrencyTest, ThirtyTwoThreadsShareABoundedPool) {
  constexpr int kThreads = 32;
  constexpr int kEach = 30;
  ASSERT_NE(0u, CreateBoard(u"TULVAN_pool"));
  {
    HANDLE h = OpenByName(u"TULVAN_pool");
    for (int i = 0; i < 50; ++i) ASSERT_NE(0u, WritePost(h, i, "seed"));
    CloseHandle(h);
  }
  std::atomic<int> failures{0};
  std::atomic<size_t> most{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        HANDLE h = OpenByName(u"TULVAN_pool");
        if (h == INVALID_HANDLE_VALUE) {
          ++failures;
          continue;
        }
        if (t % 4 == 0 && WritePost(h, 1000 + i, "more") == 0) ++failures;
        if (ReadAll(h).size() < 50) ++failures;
        CloseHandle(h);
        size_t open = Store::Instance().open_connections();
        size_t seen = most.load();
        while (open > seen && !most.compare_exchange_weak(seen, open)) {
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(0, failures.load());
  EXPECT_LE(most.load(), kMaxConnections);
  EXPECT_GE(most.load(), 1u);
}

// The board's first post, from several requests at once: one creates the
// database, the others get ERROR_DUP_NAME and open it; no post is lost.
TEST_P(StoreConcurrencyTest, FirstPostsRaceToCreate) {
  constexpr int kThreads = 6;
  std::atomic<int> created{0};
  std::atomic<int> lost{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      HANDLE h = OpenByName(u"TULVAN_race");
      if (h == INVALID_HANDLE_VALUE) {
        CEOID db = CreateBoard(u"TULVAN_race");
        if (db != 0) {
          ++created;
        } else if (GetLastError() != ERROR_DUP_NAME) {
          ++lost;
          return;
        }
        h = OpenByName(u"TULVAN_race");
      }
      if (h == INVALID_HANDLE_VALUE || WritePost(h, 1, "first") == 0) ++lost;
      if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(1, created.load());
  EXPECT_EQ(0, lost.load());
  HANDLE h = OpenByName(u"TULVAN_race");
  EXPECT_EQ(static_cast<size_t>(kThreads), ReadAll(h).size());
  CloseHandle(h);
}

// Readers run while the database is deleted: they stop with
// ERROR_KEY_DELETED, never crash.
TEST_P(StoreConcurrencyTest, DeleteDatabaseUnderReaders) {
  CEOID db = CreateBoard(u"TULVAN_del");
  HANDLE w = OpenByName(u"TULVAN_del");
  for (int i = 0; i < 300; ++i) WritePost(w, i, std::string(100, 'x'));
  CloseHandle(w);

  std::atomic<int> stopped{0};  // by ERROR_KEY_DELETED, or finding the database gone
  std::atomic<int> otherErrors{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      HANDLE h = OpenByName(u"TULVAN_del");
      if (h == INVALID_HANDLE_VALUE) {
        ++stopped;  // deleted before this reader began
        return;
      }
      for (;;) {
        Post post;
        DWORD error = 0;
        if (ReadPost(h, &post, &error)) continue;
        if (error == ERROR_KEY_DELETED) {
          ++stopped;
          break;
        }
        if (error != ERROR_NO_MORE_ITEMS) {
          ++otherErrors;
          break;
        }
        // At the end before the deletion: start over on a fresh handle.
        CloseHandle(h);
        h = OpenByName(u"TULVAN_del");
        if (h == INVALID_HANDLE_VALUE) {
          ++stopped;
          return;
        }
      }
      CloseHandle(h);
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(CeDeleteDatabase(db));
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(3, stopped.load());
  EXPECT_EQ(0, otherErrors.load());
}

// A writer process killed in the middle of writing: the file opens, passes
// SQLite's integrity check, and holds every post whose write had returned,
// along with those another process wrote meanwhile. The child writes from
// `threads` threads, and is killed once it has reported `wanted` posts;
// `file`: the store's SQLite file, checked after (nullptr on a server).
void KillWriterAndCheck(const char* file, int threads, size_t wanted) {
  CEOID db = CreateBoard(u"TULVAN_kill");
  ASSERT_NE(0u, db);
  // No connection may cross fork(): the child opens its own.
  PlatformCloseStore();
  int pipeFds[2];
  ASSERT_EQ(0, pipe(pipeFds));
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(pipeFds[0]);
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
      writers.emplace_back([&] {
        HANDLE h = OpenByName(u"TULVAN_kill");
        for (uint64_t i = 0;; ++i) {
          CEOID oid = WritePost(h, i, "child post " + std::to_string(i));
          if (oid == 0) _exit(3);
          // One write of 4 bytes to a pipe is never split.
          if (write(pipeFds[1], &oid, sizeof(oid)) != sizeof(oid)) _exit(4);
        }
      });
    }
    for (std::thread& writer : writers) writer.join();
    _exit(5);
  }
  close(pipeFds[1]);

  std::vector<CEOID> parentPosts;
  std::thread parent([&] {
    HANDLE h = OpenByName(u"TULVAN_kill");
    for (int i = 0; i < 40; ++i) parentPosts.push_back(WritePost(h, 1000000 + i, "parent"));
    CloseHandle(h);
  });
  std::vector<CEOID> reported;
  CEOID oid;
  while (reported.size() < wanted && read(pipeFds[0], &oid, sizeof(oid)) == sizeof(oid)) {
    reported.push_back(oid);
  }
  parent.join();
  ASSERT_EQ(0, kill(child, SIGKILL));
  while (read(pipeFds[0], &oid, sizeof(oid)) == sizeof(oid)) reported.push_back(oid);
  close(pipeFds[0]);
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFSIGNALED(status)) << "the child stopped by itself: " << status;
  ASSERT_GE(reported.size(), wanted);

  PlatformCloseStore();
  if (file != nullptr) {
    sqlite3* raw = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(file, &raw));
    sqlite3_stmt* check = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_prepare_v2(raw, "PRAGMA integrity_check", -1, &check, nullptr));
    ASSERT_EQ(SQLITE_ROW, sqlite3_step(check));
    EXPECT_STREQ("ok", reinterpret_cast<const char*>(sqlite3_column_text(check, 0)));
    sqlite3_finalize(check);
    sqlite3_close(raw);
  }

  HANDLE h = OpenByName(u"TULVAN_kill");
  std::vector<CEOID> stored = Oids(ReadAll(h));
  CloseHandle(h);
  std::set<CEOID> storedSet(stored.begin(), stored.end());
  EXPECT_EQ(stored.size(), storedSet.size());
  for (CEOID returned : reported) EXPECT_EQ(1u, storedSet.count(returned)) << "lost " << returned;
  for (CEOID returned : parentPosts) {
    EXPECT_NE(0u, returned);
    EXPECT_EQ(1u, storedSet.count(returned)) << "lost parent post " << returned;
  }
  CEOIDINFO info;
  ASSERT_TRUE(CeOidGetInfo(db, &info));
  EXPECT_EQ(stored.size(), info.infDatabase.wNumRecords);
}

TEST_P(StoreConcurrencyTest, KilledWriterLosesNoReturnedPost) {
  KillWriterAndCheck(postgres() ? nullptr : path_.c_str(), 1, 60);
}

// The same with the child's four threads posting at once, so that it dies
// with groups of posts being written.
TEST_P(StoreConcurrencyTest, KilledWriterOfGroupsLosesNoReturnedPost) {
  KillWriterAndCheck(postgres() ? nullptr : path_.c_str(), 4, 200);
}

}  // namespace
}  // namespace store
}  // namespace ceplatform
