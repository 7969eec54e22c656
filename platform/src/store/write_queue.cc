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
  // A leader waiting for the writers of the turn before has them all.
  if (gathering_ && writers_.size() >= Wanted()) company_.notify_one();
  while (write != writers_.front() || held_) {
    if (!Park(write, &lock)) return;
  }
  Gather(&lock);

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
  last_took_ = std::chrono::duration_cast<std::chrono::nanoseconds>(took);
  sizes_[count - 1].fetch_add(1, std::memory_order_relaxed);
  // Every other writer of the group is parked, as only the front leads.
  size_t followers = 0;
  for (size_t i = 0; i < count; ++i) {
    writers_.pop_front();
    if (group[i] != write) {
      group[i]->done = true;
      group[i]->parked = false;
      group[followers++] = group[i];
    }
  }
  last_turn_ = count + writers_.size();
  QueuedWrite* next_leader = TakeParkedFront();
  lock.unlock();
  for (size_t i = 0; i < followers; ++i) sem_post(&group[i]->woken);
  if (next_leader != nullptr) sem_post(&next_leader->woken);
}

bool WriteQueue::Park(QueuedWrite* write, std::unique_lock<std::mutex>* lock) {
  write->parked = true;
  lock->unlock();
  while (sem_wait(&write->woken) != 0) {
  }
  // Only the leader of its group sets `done`, before the one post; and once
  // done, nothing else of the queue touches the write.
  if (write->done) return false;
  lock->lock();
  return true;
}

QueuedWrite* WriteQueue::TakeParkedFront() {
  if (writers_.empty() || held_ || !writers_.front()->parked) return nullptr;
  writers_.front()->parked = false;
  return writers_.front();
}

void WriteQueue::Gather(std::unique_lock<std::mutex>* lock) {
  if (last_turn_ <= 1 || writers_.size() >= Wanted()) return;
  gathers_.fetch_add(1, std::memory_order_relaxed);
  std::chrono::nanoseconds wait = last_took_;
  if (wait > kMaxGather) wait = kMaxGather;
  auto until = std::chrono::steady_clock::now() + wait;
  gathering_ = true;
  while (writers_.size() < Wanted()) {
    if (company_.wait_until(*lock, until) == std::cv_status::timeout) break;
  }
  gathering_ = false;
}

void WriteQueue::Hold(bool hold) {
  std::unique_lock<std::mutex> lock(mutex_);
  held_ = hold;
  QueuedWrite* next_leader = TakeParkedFront();
  lock.unlock();
  if (next_leader != nullptr) sem_post(&next_leader->woken);
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
  last_turn_ = 0;
  gathering_ = false;
  mutex_.unlock();
}

}  // namespace store
}  // namespace ceplatform
