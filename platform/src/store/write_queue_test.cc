// The write queue with a runner of the test's own: who leads, which writes
// share a group, in what order, and who gets which result.
#include "write_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace ceplatform {
namespace store {
namespace {

// What the runner saw of each group, and the thread it ran on.
struct Seen {
  std::mutex mutex;
  std::vector<std::vector<int>> groups;  // the writes' tags, in order
  std::vector<std::thread::id> leaders;
};
Seen* seen = nullptr;

// A body that gives kOk for even tags and kNoRecord for odd ones, and
// records its tag in the group being written (the runner holds seen->mutex).
struct Tagged {
  int tag;
  Result operator()(Connection*) {
    seen->groups.back().push_back(tag);
    return tag % 2 == 0 ? Result::kOk : Result::kNoRecord;
  }
};

void Runner(QueuedWrite* const* writes, size_t count) {
  std::lock_guard<std::mutex> lock(seen->mutex);
  seen->groups.emplace_back();
  seen->leaders.push_back(std::this_thread::get_id());
  for (size_t i = 0; i < count; ++i) {
    writes[i]->result = writes[i]->body(nullptr);
    if (writes[i]->result != Result::kOk) writes[i]->message = "refused";
  }
}

class WriteQueueTest : public ::testing::Test {
 protected:
  void SetUp() override { seen = &seen_; }
  void TearDown() override { seen = nullptr; }

  // Writes tag `tag` through the queue, as a thread of a store call would.
  Result WriteTagged(int tag, size_t bytes, std::string* message = nullptr) {
    Tagged body{tag};
    WriteBody call(body);
    QueuedWrite write(call, bytes);
    queue_.Write(&write);
    if (message != nullptr) *message = write.message;
    return write.result;
  }

  // Starts `count` writers (tags first, first + 1, ...) one after the other,
  // each once the one before is queued, and waits until all are queued.
  void QueueWriters(int first, int count, size_t bytes, std::vector<std::thread>* threads,
                    std::vector<Result>* results) {
    for (int i = 0; i < count; ++i) {
      size_t before = queue_.queued();
      threads->emplace_back([this, first, i, bytes, results] {
        (*results)[first + i] = WriteTagged(first + i, bytes);
      });
      while (queue_.queued() == before) std::this_thread::yield();
    }
  }

  std::vector<unsigned long long> Sizes() {
    std::vector<unsigned long long> sizes(kMaxGroupWrites + 1);
    queue_.GroupSizes(sizes.data(), sizes.size());
    return sizes;
  }

  Seen seen_;
  WriteQueue queue_{&Runner};
};

TEST_F(WriteQueueTest, ALoneWriteIsWrittenAtOnceByItsOwnThreadAlone) {
  std::string message;
  EXPECT_EQ(Result::kOk, WriteTagged(2, 10));
  EXPECT_EQ(Result::kNoRecord, WriteTagged(3, 10, &message));
  EXPECT_EQ("refused", message);
  ASSERT_EQ(2u, seen_.groups.size());
  EXPECT_EQ(std::vector<int>{2}, seen_.groups[0]);
  EXPECT_EQ(std::vector<int>{3}, seen_.groups[1]);
  EXPECT_EQ(std::this_thread::get_id(), seen_.leaders[0]);
  EXPECT_EQ(2u, Sizes()[0]);
  EXPECT_EQ(0u, queue_.queued());
}

// Writes queued together form one group, in the order they came, each
// with its own result; the first of them leads.
TEST_F(WriteQueueTest, HeldWritesFormOneGroupInOrderEachWithItsOwnResult) {
  constexpr int kWriters = 7;
  std::vector<std::thread> threads;
  std::vector<Result> results(kWriters, Result::kFault);
  queue_.Hold(true);
  QueueWriters(0, kWriters, 100, &threads, &results);
  EXPECT_EQ(static_cast<size_t>(kWriters), queue_.queued());
  EXPECT_TRUE(seen_.groups.empty()) << "a write went ahead while the queue was held";
  queue_.Hold(false);
  std::thread::id first = threads[0].get_id();
  for (std::thread& thread : threads) thread.join();
  ASSERT_EQ(1u, seen_.groups.size());
  EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4, 5, 6}), seen_.groups[0]);
  EXPECT_EQ(first, seen_.leaders[0]);
  for (int i = 0; i < kWriters; ++i) {
    EXPECT_EQ(i % 2 == 0 ? Result::kOk : Result::kNoRecord, results[i]) << "write " << i;
  }
  EXPECT_EQ(1u, Sizes()[kWriters - 1]);
}

// A group takes at most kMaxGroupWrites writes, and stops before the one
// that would take it past kMaxGroupBytes, though its first write is taken
// whatever its size.
TEST_F(WriteQueueTest, GroupsStopAtTheirBounds) {
  struct Case {
    const char* name;
    int writers;
    size_t bytes;
    std::vector<size_t> groups;
  };
  const Case cases[] = {
      {"count", 40, 10, {32, 8}},
      {"bytes", 5, kMaxGroupBytes / 2, {2, 2, 1}},
      {"a first write past the bound", 2, kMaxGroupBytes + 1, {1, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    seen_.groups.clear();
    std::vector<std::thread> threads;
    std::vector<Result> results(c.writers, Result::kFault);
    queue_.Hold(true);
    QueueWriters(0, c.writers, c.bytes, &threads, &results);
    queue_.Hold(false);
    for (std::thread& thread : threads) thread.join();
    std::vector<size_t> sizes;
    int expected_tag = 0;
    for (const std::vector<int>& group : seen_.groups) {
      sizes.push_back(group.size());
      for (int tag : group) EXPECT_EQ(expected_tag++, tag) << "out of order";
    }
    EXPECT_EQ(c.groups, sizes);
  }
}

// Writes that queue while a group is being written wait for it, and then
// go together in the next group, led by the first of them.
TEST_F(WriteQueueTest, WritesQueuedDuringAGroupFormTheNext) {
  std::atomic<bool> inside{false};
  std::atomic<bool> go_on{false};
  struct Slow {
    std::atomic<bool>* inside;
    std::atomic<bool>* go_on;
    Result operator()(Connection*) {
      *inside = true;
      while (!*go_on) std::this_thread::yield();
      return Result::kOk;
    }
  } slow{&inside, &go_on};
  std::thread first([&] {
    WriteBody call(slow);
    QueuedWrite write(call, 1);
    queue_.Write(&write);
    EXPECT_EQ(Result::kOk, write.result);
  });
  while (!inside) std::this_thread::yield();
  std::vector<std::thread> threads;
  std::vector<Result> results(4, Result::kFault);
  QueueWriters(0, 4, 1, &threads, &results);
  EXPECT_EQ(5u, queue_.queued());
  std::thread::id next_leader = threads[0].get_id();
  go_on = true;
  first.join();
  for (std::thread& thread : threads) thread.join();
  // The slow write alone (its body records no tag), then the four together.
  ASSERT_EQ(2u, seen_.groups.size());
  EXPECT_TRUE(seen_.groups[0].empty());
  EXPECT_EQ((std::vector<int>{0, 1, 2, 3}), seen_.groups[1]);
  EXPECT_EQ(next_leader, seen_.leaders[1]);
  EXPECT_EQ(1u, Sizes()[0]);
  EXPECT_EQ(1u, Sizes()[3]);
}

// A runner whose every group takes `ms` milliseconds, as a sync would.
template <int ms>
void SlowRunner(QueuedWrite* const* writes, size_t count) {
  Runner(writes, count);
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Writes one after the other, each alone: none waits for company, however
// long each group takes. After a group of several, the next leader waits
// (once) for that group's writers.
TEST_F(WriteQueueTest, OnlyALeaderAfterAGroupWithCompanyWaits) {
  WriteQueue queue(&SlowRunner<20>);
  auto write = [&queue](int tag) {
    Tagged body{tag};
    WriteBody call(body);
    QueuedWrite queued(call, 1);
    queue.Write(&queued);
    return queued.result;
  };
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Result::kOk, write(2 * i));
  EXPECT_EQ(0u, queue.gathers()) << "a lone writer waited";

  std::vector<std::thread> threads;
  queue.Hold(true);
  for (int i = 0; i < 3; ++i) {
    size_t before = queue.queued();
    threads.emplace_back([&write, i] { write(10 + i); });
    while (queue.queued() == before) std::this_thread::yield();
  }
  queue.Hold(false);
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(0u, queue.gathers()) << "a held group is whole when let go";
  write(20);  // after a group of three: waits for its writers, in vain
  EXPECT_EQ(1u, queue.gathers());
  write(22);
  write(24);
  EXPECT_EQ(1u, queue.gathers()) << "a lone writer after a lone writer waited";
}

// Writes `count` times through `queue` as thread `thread` of a test,
// pausing `pause_ms` after each write (a writer's way back to its next one).
void WriteSteadily(WriteQueue* queue, int thread, int count, int pause_ms) {
  for (int i = 0; i < count; ++i) {
    Tagged body{2 * (thread * count + i)};
    WriteBody call(body);
    QueuedWrite queued(call, 1);
    queue->Write(&queued);
    if (pause_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
  }
}

// Expects at least two thirds of `writes` to have gone in groups of `size`.
void ExpectMostInGroupsOf(const WriteQueue& queue, int size, int writes) {
  std::vector<unsigned long long> sizes(kMaxGroupWrites);
  queue.GroupSizes(sizes.data(), sizes.size());
  EXPECT_GE(sizes[size - 1] * size, static_cast<unsigned long long>(writes * 2 / 3))
      << "groups of one to four: " << sizes[0] << " " << sizes[1] << " " << sizes[2] << " "
      << sizes[3];
}

// Four threads writing steadily stay in groups of four: the leader of each
// group waits for the writers of the group before, instead of going with
// those that queued while it was written and leaving the others to a group
// of their own.
TEST_F(WriteQueueTest, SteadyWritersStayTogether) {
  constexpr int kThreads = 4;
  constexpr int kEach = 24;
  WriteQueue queue(&SlowRunner<40>);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&queue, t] { WriteSteadily(&queue, t, kEach, 0); });
  }
  for (std::thread& thread : threads) thread.join();
  // The first groups form as the threads start, and on a loaded machine that
  // takes a few groups more; then all four go together.
  ExpectMostInGroupsOf(queue, kThreads, kThreads * kEach);
}

// Steady writers that start as two halves, one queued while the other's
// group is written, come together: the leader of the second half waits for
// the first to come back, rather than each half leading a group of its own
// turn after turn. Each writer takes a while to come back with its next
// write, as it would through a web server.
std::atomic<bool> first_group_inside{false};
std::atomic<bool> first_group_may_end{false};
void FirstGroupHeldRunner(QueuedWrite* const* writes, size_t count) {
  if (!first_group_inside.exchange(true)) {
    while (!first_group_may_end) std::this_thread::yield();
  }
  SlowRunner<20>(writes, count);
}

TEST_F(WriteQueueTest, TwoHalvesOfSteadyWritersComeTogether) {
  constexpr int kEach = 12;
  for (int threads_count : {2, 4}) {
    SCOPED_TRACE(threads_count);
    first_group_inside = false;
    first_group_may_end = false;
    WriteQueue queue(&FirstGroupHeldRunner);
    std::vector<std::thread> threads;
    auto start = [&queue, &threads](int t) {
      size_t before = queue.queued();
      threads.emplace_back([&queue, t] { WriteSteadily(&queue, t, kEach, 4); });
      while (queue.queued() == before) std::this_thread::yield();
    };
    queue.Hold(true);
    for (int t = 0; t < threads_count / 2; ++t) start(t);
    queue.Hold(false);
    while (!first_group_inside) std::this_thread::yield();  // the first half's group
    for (int t = threads_count / 2; t < threads_count; ++t) start(t);
    first_group_may_end = true;
    for (std::thread& thread : threads) thread.join();
    // Two groups of half, then groups of all.
    ExpectMostInGroupsOf(queue, threads_count, threads_count * kEach);
  }
}

}  // namespace
}  // namespace store
}  // namespace ceplatform
