#include "write_queue.h"

#include <new>

namespace ceplatform {
namespace store {

void WriteQueue::Write(QueuedWrite* write) {
  std::unique_lock<std::mutex> lock(mutex_);
  try {
    writers_.push_back(write);
  } catch (const std::bad_alloc&) {
    write->result = Result::kNoMemory;
    return;
  }
  while (!write->done && (write != writers_.front() || held_)) write->wake.wait(lock);
  if (write->done) return;

  // This write leads: the group is the front of the queue, in order.
  QueuedWrite* group[kMaxGroupWrites];
  size_t count = 0;
  size_t bytes = 0;
  for (QueuedWrite* next : writers_) {
    if (count == kMaxGroupWrites || (count > 0 && bytes + next->bytes > kMaxGroupBytes)) break;
    group[count++] = next;
    bytes += next->bytes;
  }
  lock.unlock();
  runner_(group, count);
  lock.lock();
  sizes_[count - 1].fetch_add(1, std::memory_order_relaxed);
  for (size_t i = 0; i < count; ++i) {
    writers_.pop_front();
    if (group[i] != write) {
      // Its thread may return and drop the write as soon as the lock is
      // let go: nothing of it is touched after this.
      group[i]->done = true;
      group[i]->wake.notify_one();
    }
  }
  if (!writers_.empty() && !held_) writers_.front()->wake.notify_one();
}

void WriteQueue::Hold(bool hold) {
  std::lock_guard<std::mutex> lock(mutex_);
  held_ = hold;
  if (!held_ && !writers_.empty()) writers_.front()->wake.notify_one();
}

size_t WriteQueue::queued() {
  std::lock_guard<std::mutex> lock(mutex_);
  return writers_.size();
}

void WriteQueue::GroupSizes(unsigned long long* counts, size_t slots) const {
  for (size_t i = 0; i < slots; ++i) {
    counts[i] = i < kMaxGroupWrites ? sizes_[i].load(std::memory_order_relaxed) : 0;
  }
}

void WriteQueue::ResetInChild() {
  writers_.clear();
  held_ = false;
  mutex_.unlock();
}

}  // namespace store
}  // namespace ceplatform
