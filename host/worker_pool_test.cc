#include "worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace {

// With every worker busy and the queue full, a job is refused at once
// instead of waiting; the jobs taken all run, also those queued at the end.
TEST(WorkerPoolTest, RefusesPastTheQueueAndRunsEveryJobTaken) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> ran{0};
  int taken = 0;
  {
    WorkerPool pool(2, 3);
    auto blocker = [&] {
      released.wait();
      ++ran;
    };
    for (int i = 0; i < 20; ++i) taken += pool.Submit(blocker) ? 1 : 0;
    // Two running (or about to) and three waiting; a worker not yet started
    // counts as busy, so no more than five.
    EXPECT_GE(taken, 3);
    EXPECT_LE(taken, 5);
    release.set_value();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ran.load() < taken && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(ran.load(), taken);
    EXPECT_TRUE(pool.Submit([&] { ++ran; }));
  }
  // The last job was still queued when the pool went: it ran all the same.
  EXPECT_EQ(ran.load(), taken + 1);
}

// One request at a time is always served by the same worker, the one that
// went idle last, so that its caches stay warm while the others sleep.
TEST(WorkerPoolTest, AJobGoesToTheWorkerThatWentIdleLast) {
  WorkerPool pool(4, 4);
  auto all_idle = [&pool] {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (pool.idle_workers() < 4 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return pool.idle_workers() == 4;
  };
  std::thread::id first;
  for (int i = 0; i < 20; ++i) {
    // Every worker waits, the last job's among them.
    ASSERT_TRUE(all_idle()) << "job " << i;
    std::promise<std::thread::id> ran;
    std::future<std::thread::id> done = ran.get_future();
    ASSERT_TRUE(pool.Submit([&ran] { ran.set_value(std::this_thread::get_id()); }));
    ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    std::thread::id by = done.get();
    if (i == 0) first = by;
    EXPECT_EQ(by, first) << "job " << i;
  }
}

// A job goes to an idle worker of its caller's partition, and to another
// partition's worker only when its own are all busy.
TEST(WorkerPoolTest, AJobGoesToItsOwnPartitionWhileOneOfItsWorkersIsIdle) {
  WorkerPool pool(4, 4, 2);  // workers 0 and 2 in partition 0, 1 and 3 in 1
  auto idle = [&pool](size_t count) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (pool.idle_workers() != count && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return pool.idle_workers() == count;
  };
  auto run_on = [&pool](int partition) {
    std::promise<int> ran;
    std::future<int> done = ran.get_future();
    if (!pool.Submit([&ran] { ran.set_value(WorkerPool::CurrentPartition()); }, partition)) {
      return -2;
    }
    return done.wait_for(std::chrono::seconds(10)) == std::future_status::ready ? done.get() : -3;
  };
  EXPECT_EQ(-1, WorkerPool::CurrentPartition());
  for (int partition : {0, 1, 1, 0, 3}) {  // 3 is partition 1 of 2
    ASSERT_TRUE(idle(4));
    EXPECT_EQ(partition % 2, run_on(partition)) << "partition " << partition;
  }

  // Both workers of partition 1 held: its next job runs in partition 0.
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  ASSERT_TRUE(idle(4));
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(pool.Submit([released] { released.wait(); }, 1));
  ASSERT_TRUE(idle(2));
  EXPECT_EQ(0, run_on(1));
  release.set_value();
  ASSERT_TRUE(idle(4));
}

}  // namespace

// Jobs handed over from several threads at once, each to a worker that may
// be just going to sleep or just waking: none is lost and none runs twice,
// and a pool stopped with sleeping workers stops at once. A hand-over that
// lost a wake-up would leave a job untouched here (and the count short).
TEST(WorkerPoolTest, NoJobIsLostWhenManyAreHandedOverAtOnce) {
  constexpr int kSubmitters = 4;
  constexpr int kJobsEach = 2000;
  std::atomic<int> ran{0};
  std::atomic<int> refused{0};
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  {
    WorkerPool pool(3, 16, 2);
    std::vector<std::thread> submitters;
    for (int s = 0; s < kSubmitters; ++s) {
      submitters.emplace_back([&pool, &ran, &refused, s, give_up] {
        for (int i = 0; i < kJobsEach; ++i) {
          // A refused job (the queue full) is sent again, so that every job
          // runs, until a pool that stopped taking jobs is given up on.
          while (!pool.Submit([&ran] { ++ran; }, s)) {
            ++refused;
            if (std::chrono::steady_clock::now() > give_up) return;
            std::this_thread::yield();
          }
        }
      });
    }
    for (std::thread& submitter : submitters) submitter.join();
    while (ran.load() < kSubmitters * kJobsEach && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(ran.load(), kSubmitters * kJobsEach) << refused.load() << " refusals on the way";
    auto idle_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (pool.idle_workers() < 3 && std::chrono::steady_clock::now() < idle_deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(pool.idle_workers(), 3u);
  }
  EXPECT_EQ(ran.load(), kSubmitters * kJobsEach);
}
