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
  // A leader waiting for the writers of the group before has them all.
  if (gathering_ != nullptr && writers_.size() >= last_group_) gathering_->wake.notify_one();
  while (!write->done && (write != writers_.front() || held_)) write->wake.wait(lock);
  if (write->done) return;
  Gather(write, &lock);

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
  auto started = std::chrono::steady_clock::now();
  runner_(group, count);
  auto took = std::chrono::steady_clock::now() - started;
  lock.lock();
  last_group_ = count;
  last_took_ = std::chrono::duration_cast<std::chrono::nanoseconds>(took);
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

void WriteQueue::Gather(QueuedWrite* leader, std::unique_lock<std::mutex>* lock) {
  if (last_group_ <= 1 || writers_.size() >= last_group_) return;
  gathers_.fetch_add(1, std::memory_order_relaxed);
  std::chrono::nanoseconds wait = last_took_ / 4;
  if (wait > kMaxGather) wait = kMaxGather;
  auto until = std::chrono::steady_clock::now() + wait;
  gathering_ = leader;
  while (writers_.size() < last_group_) {
    if (leader->wake.wait_until(*lock, until) == std::cv_status::timeout) break;
  }
  gathering_ = nullptr;
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
  last_group_ = 0;
  gathering_ = nullptr;
  mutex_.unlock();
}

}  // namespace store
}  // namespace ceplatform
