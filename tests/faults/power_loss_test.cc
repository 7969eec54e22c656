// Power cut at every write and sync of a run of 20 posts and 5 deletions,
// from one process and from two at once, and of a run of posts that threads
// send at once, in groups of 2 to 8 that are committed together: after the
// store is opened again, the file is sound, every post whose redirect came
// back is there and whole, no deleted post has come back, and no post shows
// that was never sent.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "ceplatform.h"
#include "plugin_fixture.h"
#include "power_loss_vfs.h"

namespace faults {
namespace {

// One step of the run.
struct Step {
  enum Kind { kPost, kDelete, kRestart } kind;
  int post;     // the post written or deleted (its subject is Subject(post))
  int process;  // which of the run's processes takes the step
  int group = 0;  // posts of one group (not 0) are sent at once, a thread each
};

std::string Subject(int post) {
  char text[8];
  snprintf(text, sizeof(text), "W%02d", post);
  return text;
}

// 20 posts; after every fourth, the deletion of the one two before it; the
// store closed (and its log checkpointed) half-way, as a restart does. With
// two processes, each takes the posts of one parity and their deletions.
std::vector<Step> Steps(int processes) {
  std::vector<Step> steps;
  for (int i = 0; i < 20; i++) {
    int process = i % processes;
    steps.push_back({Step::kPost, i, process});
    if (i % 4 == 3) steps.push_back({Step::kDelete, i - 2, process});
    if (i == 9) steps.push_back({Step::kRestart, -1, 0});
  }
  return steps;
}

// Posts in groups of 2, 3, ... 8, sent at once by a thread each; after each
// group from the third on, the deletion of the first post of the group two
// before it; the store closed half-way. With two processes, each takes every
// other group and the deletions of its own posts.
std::vector<Step> GroupSteps(int processes) {
  std::vector<Step> steps;
  std::vector<int> firsts;  // of each group
  int post = 0;
  for (int group = 1; group <= 7; group++) {
    int process = (group - 1) % processes;
    firsts.push_back(post);
    for (int i = 0; i <= group; i++) steps.push_back({Step::kPost, post++, process, group});
    if (group >= 3) steps.push_back({Step::kDelete, firsts[group - 3], process});
    if (group == 4) steps.push_back({Step::kRestart, -1, 0});
  }
  return steps;
}

// What each step came to, in memory shared with the processes of a run.
struct Progress {
  std::atomic<int> state[64];  // 0 not begun, 1 begun, 2 answered as asked, 3 refused
};

class PowerLossTest : public PluginFixture {
 protected:
  PowerLossTest() : PluginFixture(CORKWALL_TVX, CORKWARDEN_TVX) {}

  void SetUp() override {
    PluginFixture::SetUp();
    PowerLossVfs::Instance();
    void* memory = mmap(nullptr, sizeof(Progress), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    progress_ = new (memory) Progress();
  }
  void TearDown() override {
    munmap(progress_, sizeof(Progress));
    PluginFixture::TearDown();
  }

  // The steps of `process`, in order, through the power-loss VFS; ends the
  // process.
  [[noreturn]] void RunSteps(const std::vector<Step>& steps, int process) {
    PlatformSetStoreVfs(PowerLossVfs::kName);
    for (size_t i = 0; i < steps.size(); i++) {
      const Step& step = steps[i];
      if (step.process != process) continue;
      // Two processes need not wait for each other, but a deletion waits for
      // its post (its own process wrote it before).
      if (step.group != 0) {
        i = RunGroup(steps, i) - 1;
        continue;
      }
      progress_->state[i] = 1;
      bool done = true;
      if (step.kind == Step::kPost) {
        done = Post(Subject(step.post)).text == kRedirect;
      } else if (step.kind == Step::kDelete) {
        CEOID id = IdOf(Subject(step.post));
        done = id != 0 && Board("POST", "", "deleteitem=x&deleteitemid=" + std::to_string(id))
                                  .text == kRedirect;
      } else {
        PlatformCloseStore();
      }
      progress_->state[i] = done ? 2 : 3;
    }
    _exit(0);
  }

  // Sends the posts of the group that starts at step `first` at once, a
  // thread each, committed as one group; returns the step after the group.
  size_t RunGroup(const std::vector<Step>& steps, size_t first) {
    size_t end = first;
    while (end < steps.size() && steps[end].group == steps[first].group) end++;
    for (size_t i = first; i < end; i++) progress_->state[i] = 1;
    RunAsOneGroup(
        end - first,
        [&](size_t k) {
          bool done = Post(Subject(steps[first + k].post)).text == kRedirect;
          progress_->state[first + k] = done ? 2 : 3;
        },
        [] {});
    return end;
  }

  // The record of the post with this subject; 0 when there is none.
  CEOID IdOf(const std::string& subject) {
    for (const auto& post : Posts()) {
      if (post.second == subject) return post.first;
    }
    return 0;
  }

  // Runs `steps` in `processes` processes with the power cut at `event`
  // (0: never), brings the files back as `loss` says, and checks the store.
  // Returns the events the run made.
  long CrashAndCheck(const std::vector<Step>& steps, int processes, long event,
                     PowerLossVfs::Loss loss) {
    PlatformCloseStore();
    for (const char* suffix : {"", "-wal", "-shm"}) unlink((store_ + suffix).c_str());
    for (auto& state : progress_->state) state = 0;
    PowerLossVfs& vfs = PowerLossVfs::Instance();
    vfs.CutPowerAt(event);
    std::vector<pid_t> children;
    for (int p = 0; p < processes; p++) {
      pid_t child = fork();
      if (child == 0) RunSteps(steps, p);
      children.push_back(child);
    }
    for (pid_t child : children) {
      int status = 0;
      waitpid(child, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 77))
          << "a process of the run failed: " << status;
    }
    long events = vfs.events();
    EXPECT_EQ(vfs.lost(), event != 0 && event <= events);
    PowerLossVfs::Restore(store_, loss, static_cast<unsigned>(event));
    Check(steps);
    return events;
  }

  void Check(const std::vector<Step>& steps) {
    std::vector<std::string> subjects = Subjects();  // each one whole
    EXPECT_EQ(Integrity(), "ok");
    for (size_t i = 0; i < steps.size(); i++) {
      const Step& step = steps[i];
      if (step.kind != Step::kPost) continue;
      std::string subject = Subject(step.post);
      long count = std::count(subjects.begin(), subjects.end(), subject);
      EXPECT_LE(count, 1) << subject << " stored twice";
      int posted = progress_->state[i];
      int deleted = 0;
      for (size_t j = i + 1; j < steps.size(); j++) {
        if (steps[j].kind == Step::kDelete && steps[j].post == step.post) deleted = progress_->state[j];
      }
      if (posted == 0 || posted == 3) {
        EXPECT_EQ(count, 0) << subject << " was never stored";
      }
      if (posted == 2 && deleted < 1) {
        EXPECT_EQ(count, 1) << subject << " was lost";
      }
      if (deleted == 2) {
        EXPECT_EQ(count, 0) << subject << " came back after its deletion";
      }
    }
    for (const std::string& subject : subjects) {
      EXPECT_TRUE(subject.size() == 3 && subject[0] == 'W') << "a post never sent: " << subject;
    }
    // The store takes posts again.
    EXPECT_EQ(Post("AFTER").text, kRedirect);
  }

  // Sweeps the power cut over the events of the run: with
  // CORKWALL_LONG_SWEEPS set, every event, each one dropped and torn; else
  // every kStride-th event from `first`, dropped and torn in turn, so that
  // make test stays within seconds. Returns the crash points swept.
  static constexpr long kStride = 9;
  int Sweep(int processes, long first, bool groups = false) {
    std::vector<Step> steps = groups ? GroupSteps(processes) : Steps(processes);
    long events = CrashAndCheck(steps, processes, 0, PowerLossVfs::Loss::kDropped);
    EXPECT_GT(events, 25);
    bool every = getenv("CORKWALL_LONG_SWEEPS") != nullptr;
    // CORKWALL_POWERLOSS_EVENT=k: that event alone, both ways (to follow a
    // failure up).
    const char* only = getenv("CORKWALL_POWERLOSS_EVENT");
    long from = only != nullptr ? atol(only) : every ? 1 : first;
    long to = only != nullptr ? from : events;
    every = every || only != nullptr;
    int points = 0;
    for (long k = from; k <= to && !::testing::Test::HasFailure(); k += every ? 1 : kStride) {
      for (int torn = 0; torn < 2; torn++) {
        if (!every && torn != (k / kStride) % 2) continue;
        SCOPED_TRACE("power lost at event " + std::to_string(k) + (torn ? ", torn" : ", dropped"));
        CrashAndCheck(steps, processes, k,
                      torn ? PowerLossVfs::Loss::kTorn : PowerLossVfs::Loss::kDropped);
        points++;
      }
    }
    printf("%d process(es): %ld events in a run, %d crash points swept\n", processes, events,
           points);
    return points;
  }

  Progress* progress_ = nullptr;
};

// What a process does beside SQLite to keep the durable image must leave
// SQLite's locks as they are: were a sync to drop the process's lock on the
// file, another process's close would take the log for its own, fold it in
// and delete it, and the first process would go on writing to a log no one
// reads.
TEST_F(PowerLossTest, SyncsKeepTheProcesssLocks) {
  PowerLossVfs::Instance().CutPowerAt(0);
  std::string path = store_ + ".locks";
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open_v2(path.c_str(), &db,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                                       PowerLossVfs::kName));
  auto exec = [db](const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); };
  ASSERT_EQ(SQLITE_OK, exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; CREATE TABLE t(x);"
                            "INSERT INTO t VALUES (1); PRAGMA wal_checkpoint(PASSIVE);"
                            "INSERT INTO t VALUES (2)"));
  // Another process (sqlite3, a program of its own: a fork would share
  // this one's view of the locks) reads and closes; then the first writes
  // again, and yet another reads.
  auto rows_seen_by_another_process = [&path] {
    std::string command = "sqlite3 '" + path + "' 'SELECT count(*) FROM t' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return std::string("cannot run sqlite3");
    std::string out;
    char buffer[256];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
    pclose(pipe);
    return out;
  };
  EXPECT_EQ("2\n", rows_seen_by_another_process());
  EXPECT_EQ(0, access((path + "-wal").c_str(), F_OK)) << "the log was deleted under the writer";
  ASSERT_EQ(SQLITE_OK, exec("INSERT INTO t VALUES (3)"));
  EXPECT_EQ("3\n", rows_seen_by_another_process());
  sqlite3_close(db);
}

TEST_F(PowerLossTest, OneProcess) { Sweep(1, 1); }

TEST_F(PowerLossTest, TwoProcessesAtOnce) { Sweep(2, 5); }

TEST_F(PowerLossTest, GroupsOfPostsFromSeveralThreads) { Sweep(1, 3, true); }

TEST_F(PowerLossTest, GroupsOfPostsFromTwoProcessesAtOnce) { Sweep(2, 7, true); }

}  // namespace
}  // namespace faults
