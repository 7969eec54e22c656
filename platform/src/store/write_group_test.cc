// Writes of several threads committed as one group on an SQLite store file:
// each write gets its own result and last-error code, a refused one leaves
// the others as they were, and what was acknowledged is stored once.
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include "store_test_util.h"
#include "write_queue.h"

namespace ceplatform {
namespace store {
namespace {

class WriteGroupTest : public StoreTest {};

// Records whose database is not there.
const char kOrphans[] =
    "SELECT count(*) FROM records WHERE db NOT IN (SELECT oid FROM databases)";

// One write's answer: its result and the last error on its own thread.
struct Outcome {
  unsigned long result = 0;
  DWORD error = 0;
};

// A group that meets a deleted database, a taken name, a missing record and
// a rewrite: each write gets the answer it would get alone, in the group's
// order, and the refused ones leave nothing behind.
TEST_F(WriteGroupTest, EachWriteOfAGroupGetsItsOwnAnswer) {
  CEOID doomed = CreateBoard(u"TULVAN_doomed");
  CEOID kept = CreateBoard(u"TULVAN_kept");
  ASSERT_NE(0u, doomed);
  ASSERT_NE(0u, kept);
  HANDLE onDoomed = OpenByName(u"TULVAN_doomed");
  HANDLE onKept = OpenByName(u"TULVAN_kept");
  CEOID old = WritePost(onKept, 1, "old");
  CEOID gone = WritePost(onKept, 2, "to be deleted");
  ASSERT_NE(0u, gone);

  struct Case {
    const char* what;
    std::function<unsigned long()> write;
    bool succeeds;
    DWORD error;  // when it fails
  };
  CEPROPVAL rewrite[1];
  memset(rewrite, 0, sizeof(rewrite));
  rewrite[0].propid = kTextProp;
  char text[] = "rewritten";
  rewrite[0].val.blob.dwCount = sizeof(text);
  rewrite[0].val.blob.lpb = reinterpret_cast<LPBYTE>(text);
  const std::vector<Case> cases = {
      {"post before the deletion", [&] { return WritePost(onDoomed, 10, "early"); }, true, 0},
      {"deletion of the database", [&] { return CeDeleteDatabase(doomed) ? 1ul : 0ul; }, true, 0},
      {"post after the deletion", [&] { return WritePost(onDoomed, 11, "late"); }, false,
       ERROR_KEY_DELETED},
      {"deletion again", [&] { return CeDeleteDatabase(doomed) ? 1ul : 0ul; }, false,
       ERROR_INVALID_PARAMETER},
      {"post to another board", [&] { return WritePost(onKept, 12, "kept"); }, true, 0},
      {"new database", [&] { return CreateBoard(u"TULVAN_new"); }, true, 0},
      {"the same name again", [&] { return CreateBoard(u"TULVAN_new"); }, false,
       ERROR_DUP_NAME},
      {"rewrite of a record", [&] { return CeWriteRecordProps(onKept, old, 1, rewrite); }, true,
       0},
      {"deletion of a record", [&] { return CeDeleteRecord(onKept, gone) ? 1ul : 0ul; }, true, 0},
      {"deletion of it again", [&] { return CeDeleteRecord(onKept, gone) ? 1ul : 0ul; }, false,
       ERROR_INVALID_PARAMETER},
  };
  std::vector<Outcome> outcomes(cases.size());
  std::vector<std::function<void()>> actions;
  for (size_t i = 0; i < cases.size(); ++i) {
    actions.push_back([&, i] {
      SetLastError(0);
      outcomes[i].result = cases[i].write();
      outcomes[i].error = GetLastError();
    });
  }
  std::vector<unsigned long long> before = GroupSizes();
  RunAsOneGroup(actions);
  EXPECT_EQ(1u, GroupSizes()[cases.size() - 1] - before[cases.size() - 1]) << "not one group";

  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].what);
    if (cases[i].succeeds) {
      EXPECT_NE(0u, outcomes[i].result) << "error " << outcomes[i].error;
    } else {
      EXPECT_EQ(0u, outcomes[i].result);
      EXPECT_EQ(cases[i].error, outcomes[i].error);
    }
  }
  CloseHandle(onDoomed);
  CEOIDINFO info;
  EXPECT_FALSE(CeOidGetInfo(doomed, &info));
  EXPECT_EQ(0, SqlValue("SELECT count(*) FROM records WHERE db = " + std::to_string(doomed)));
  EXPECT_EQ(0, SqlValue(kOrphans));
  EXPECT_EQ(1, SqlValue("SELECT count(*) FROM databases WHERE oid = " +
                        std::to_string(outcomes[5].result)));
  std::vector<Post> posts = ReadAll(onKept);
  CloseHandle(onKept);
  ASSERT_EQ(2u, posts.size());
  EXPECT_EQ("kept", posts[0].text);
  EXPECT_EQ(outcomes[4].result, posts[0].oid);
  EXPECT_EQ("rewritten", posts[1].text);
  EXPECT_EQ(old, posts[1].oid);
  ASSERT_TRUE(CeOidGetInfo(kept, &info));
  EXPECT_EQ(2, info.infDatabase.wNumRecords);
}

// What one post of the shared-file test came to, in memory shared by both
// processes.
struct SharedOutcomes {
  static constexpr int kProcesses = 2;
  static constexpr int kThreads = 4;
  static constexpr int kPosts = 60;  // per thread
  std::atomic<uint32_t> oid[kProcesses][kThreads][kPosts];
  std::atomic<uint32_t> error[kProcesses][kThreads][kPosts];
  std::atomic<int> board[kProcesses][kThreads][kPosts];
};

std::string SharedText(int process, int thread, int post) {
  return "p" + std::to_string(process) + "t" + std::to_string(thread) + "n" +
         std::to_string(post);
}

// Two processes, four threads each, posting to four boards in turn, while
// one board is deleted under them: every acknowledged post to a board that
// stays is there once, whole; every failed post is absent, and failed only
// because its board went; the counts kept by the store match.
TEST_F(WriteGroupTest, ManyThreadsOfTwoProcessesPostToSeveralBoards) {
  constexpr int kBoards = 4;
  const std::u16string names[kBoards] = {u"TULVAN_g0", u"TULVAN_g1", u"TULVAN_g2",
                                         u"TULVAN_g3"};
  CEOID boards[kBoards];
  for (int b = 0; b < kBoards; ++b) {
    boards[b] = CreateBoard(names[b]);
    ASSERT_NE(0u, boards[b]);
  }
  void* memory = mmap(nullptr, sizeof(SharedOutcomes), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(MAP_FAILED, memory);
  SharedOutcomes* shared = new (memory) SharedOutcomes();
  std::atomic<int> posted{0};

  auto poster = [&](int process, int thread) {
    for (int n = 0; n < SharedOutcomes::kPosts; ++n) {
      int board = (n + thread) % kBoards;
      shared->board[process][thread][n] = board;
      HANDLE h = OpenByName(names[board]);
      if (h == INVALID_HANDLE_VALUE) {
        shared->error[process][thread][n] = GetLastError();
      } else {
        CEOID oid = WritePost(h, 1000000u * process + 1000u * thread + n,
                              SharedText(process, thread, n));
        shared->oid[process][thread][n] = oid;
        shared->error[process][thread][n] = oid == 0 ? GetLastError() : 0;
        CloseHandle(h);
      }
      ++posted;
    }
  };
  auto postFrom = [&](int process) {
    std::vector<std::thread> threads;
    for (int t = 0; t < SharedOutcomes::kThreads; ++t) threads.emplace_back(poster, process, t);
    return threads;
  };

  PlatformCloseStore();  // no connection crosses fork()
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::vector<std::thread> threads = postFrom(1);
    for (std::thread& thread : threads) thread.join();
    _exit(0);
  }
  std::vector<unsigned long long> before = GroupSizes();
  std::vector<std::thread> threads = postFrom(0);
  while (posted < SharedOutcomes::kThreads * SharedOutcomes::kPosts / 3) {
    std::this_thread::yield();
  }
  EXPECT_TRUE(CeDeleteDatabase(boards[kBoards - 1]));
  for (std::thread& thread : threads) thread.join();
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  // Every write of this process went through the queue once: the posts that
  // reached a write, and the deletion.
  unsigned long long writes = 1;
  for (int t = 0; t < SharedOutcomes::kThreads; ++t) {
    for (int n = 0; n < SharedOutcomes::kPosts; ++n) {
      if (shared->error[0][t][n] != ERROR_FILE_NOT_FOUND) ++writes;
    }
  }
  EXPECT_EQ(writes, WritesSince(before));
  std::vector<unsigned long long> sizes = GroupSizes();
  for (size_t i = 0; i < sizes.size(); ++i) {
    if (sizes[i] != before[i]) printf("groups of %zu: %llu\n", i + 1, sizes[i] - before[i]);
  }

  std::map<std::string, CEOID> stored;  // text -> oid, over the boards that stay
  for (int b = 0; b + 1 < kBoards; ++b) {
    HANDLE h = OpenByName(names[b]);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    std::vector<Post> posts = ReadAll(h);
    CloseHandle(h);
    for (const Post& post : posts) {
      EXPECT_TRUE(stored.emplace(post.text, post.oid).second) << post.text << " stored twice";
    }
    CEOIDINFO info;
    ASSERT_TRUE(CeOidGetInfo(boards[b], &info));
    EXPECT_EQ(posts.size(), info.infDatabase.wNumRecords);
  }
  size_t acknowledged = 0;
  for (int p = 0; p < SharedOutcomes::kProcesses; ++p) {
    for (int t = 0; t < SharedOutcomes::kThreads; ++t) {
      for (int n = 0; n < SharedOutcomes::kPosts; ++n) {
        std::string text = SharedText(p, t, n);
        SCOPED_TRACE(text);
        CEOID oid = shared->oid[p][t][n];
        bool deleted_board = shared->board[p][t][n] == kBoards - 1;
        auto found = stored.find(text);
        if (oid != 0 && !deleted_board) {
          ++acknowledged;
          ASSERT_NE(stored.end(), found) << "an acknowledged post is lost";
          EXPECT_EQ(oid, found->second);
          stored.erase(found);
        } else if (oid == 0) {
          EXPECT_TRUE(deleted_board) << "failed with " << shared->error[p][t][n];
          DWORD error = shared->error[p][t][n];
          EXPECT_TRUE(error == ERROR_KEY_DELETED || error == ERROR_FILE_NOT_FOUND) << error;
        }
      }
    }
  }
  EXPECT_TRUE(stored.empty()) << stored.size() << " posts stored that were never acknowledged";
  EXPECT_GT(acknowledged, 0u);
  EXPECT_EQ(0, SqlValue(kOrphans));
  munmap(memory, sizeof(SharedOutcomes));
}

}  // namespace
}  // namespace store
}  // namespace ceplatform
