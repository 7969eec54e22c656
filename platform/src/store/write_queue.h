// The writes of one process to an SQLite store (or the new records it adds
// to a server store, insert_group.h), committed in groups: each write
// queues; the one at the front leads, takes the writes queued behind it (up
// to kMaxGroupWrites and about kMaxGroupBytes), has them written in one
// transaction that is synced once, and then hands each writer its own result.
// The next write at the front leads the next group.
//
// A lone writer never waits: when the group before it was a lone write
// that nobody queued behind, a write that finds the queue empty is written
// at once. Otherwise the writers of the turn before (that group and those
// that queued behind it while it was written) went back to their callers
// as it ended, or are queued; most of those that left come back soon with
// their next write, and a leader that finds fewer queued than that turn had
// waits for them, for at most as long as that group took (and never more
// than kMaxGather). Without that wait, steady writers split into two groups
// that take turns, each waiting out the other's sync; and a wait for the
// group before alone would keep two such halves apart for good, each
// finding the other already queued. A writer's way back (through a web
// server: the answer, the visitor's next post, the board's work on it)
// takes about as long as a group on a fast disk, so a shorter wait splits
// them there all the same.
//
// A waiting writer parks on its own semaphore and is posted exactly once: to
// lead, or because its group was written. The leader posts its group's
// writers after letting go of the queue's lock, so that none wakes only to
// wait for that lock; a parked writer cannot leave before the one post meant
// for it, so its semaphore is never posted after it is gone.
//
// The queue knows nothing of SQL: the group is handed to a GroupRunner.
#ifndef CEPLATFORM_STORE_WRITE_QUEUE_H_
#define CEPLATFORM_STORE_WRITE_QUEUE_H_

#include <semaphore.h>
#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>

#include "connection.h"

namespace ceplatform {
namespace store {

// The most writes of one group, and the bytes past which a group takes no
// more (its first write is always taken, however big).
constexpr size_t kMaxGroupWrites = 32;
constexpr size_t kMaxGroupBytes = 1024 * 1024;
// The longest a leader waits for the writers of the turn before.
constexpr std::chrono::milliseconds kMaxGather{10};

// What a write does on the connection of its group: a reference to the
// caller's callable, which stays alive while the caller waits.
class WriteBody {
 public:
  template <class F>
  explicit WriteBody(F& body)
      : target_(&body), call_([](void* target, Connection* connection) {
          return (*static_cast<F*>(target))(connection);
        }) {}
  Result operator()(Connection* connection) const { return call_(target_, connection); }

 private:
  void* target_;
  Result (*call_)(void*, Connection*);
};

// One write in the queue. The runner fills `result` and, for a failure,
// `message`; `failed_alone` marks a write whose own failure settled it, so
// that a group written again leaves it out.
struct QueuedWrite {
  QueuedWrite(const WriteBody& body, size_t bytes) : body(body), bytes(bytes) {
    sem_init(&woken, 0, 0);
  }
  ~QueuedWrite() { sem_destroy(&woken); }
  QueuedWrite(const QueuedWrite&) = delete;
  QueuedWrite& operator=(const QueuedWrite&) = delete;

  const WriteBody body;
  const size_t bytes;
  // A new record (nullptr for any other write): a server store writes the
  // new records of several threads in one transaction (insert_group.h).
  RecordInsert* insert = nullptr;
  Result result = Result::kOk;
  std::string message;
  bool failed_alone = false;
  // The rest belongs to the queue, under its lock.
  bool done = false;    // its group was written
  bool parked = false;  // waiting on `woken` for one post
  sem_t woken;
};

// Writes a group: sets every write's result (and message). Never throws.
using GroupRunner = void (*)(QueuedWrite* const* writes, size_t count);

class WriteQueue {
 public:
  explicit WriteQueue(GroupRunner runner) : runner_(runner) {}
  WriteQueue(const WriteQueue&) = delete;
  WriteQueue& operator=(const WriteQueue&) = delete;

  // Queues `write` and returns once its group was written; its result and
  // message are then set. Runs on the caller's thread, which leads a group
  // when its write reaches the front. Never throws.
  void Write(QueuedWrite* write);

  // While held, writes queue and none leads (a test's way to make a group
  // of the writes of several threads).
  void Hold(bool hold);
  // Writes queued now, waiting or being written.
  size_t queued();
  // Times a leader waited for the writers of the turn before (for tests).
  uint64_t gathers() const { return gathers_.load(std::memory_order_relaxed); }
  // Groups written since the process started, by size: slot i counts the
  // groups of i + 1 writes.
  void GroupSizes(unsigned long long* counts, size_t slots) const;

  // Around fork(): the queue is locked across it, and the child starts with
  // an empty queue and no group before (the parent's writers are not there).
  void LockForFork() { mutex_.lock(); }
  void UnlockInParent() { mutex_.unlock(); }
  void ResetInChild();

 private:
  // The leader's short wait for the writers of the turn before.
  void Gather(std::unique_lock<std::mutex>* lock);
  // How many writes a gathering leader waits for: those of the turn before,
  // as many as one group takes at most.
  size_t Wanted() const { return last_turn_ < kMaxGroupWrites ? last_turn_ : kMaxGroupWrites; }
  // Waits, the lock let go, until `write` is posted; returns with the lock
  // held again, unless the write's group was written.
  static bool Park(QueuedWrite* write, std::unique_lock<std::mutex>* lock);
  // Claims the one post of the front writer when it is parked: the post to
  // send once the lock is let go, or nullptr.
  QueuedWrite* TakeParkedFront();

  const GroupRunner runner_;
  std::mutex mutex_;
  std::deque<QueuedWrite*> writers_;  // the front one leads, or is about to
  bool held_ = false;
  // The turn before: the writes of the group written last and those queued
  // as it ended; and how long that group took.
  size_t last_turn_ = 0;
  std::chrono::nanoseconds last_took_{0};
  bool gathering_ = false;                // a leader waiting for company
  std::condition_variable company_;       // and what wakes it
  std::atomic<uint64_t> gathers_{0};
  std::atomic<uint64_t> sizes_[kMaxGroupWrites] = {};
};

}  // namespace store
}  // namespace ceplatform

#endif  // CEPLATFORM_STORE_WRITE_QUEUE_H_
