#include "worker_pool.h"

WorkerPool::WorkerPool(int threads, size_t queue_limit) : queue_limit_(queue_limit) {
  for (int i = 0; i < threads; ++i) workers_.push_back(std::make_unique<Worker>());
  for (auto& worker : workers_) {
    Worker* mine = worker.get();
    worker->thread = std::thread([this, mine] { Work(mine); });
  }
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  for (auto& worker : workers_) worker->wake.notify_one();
  for (auto& worker : workers_) worker->thread.join();
}

bool WorkerPool::Submit(std::function<void()> job) {
  Worker* woken = nullptr;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_) return false;
    if (!idle_.empty()) {
      // The worker that went idle last: its caches are the warmest.
      woken = idle_.back();
      idle_.pop_back();
      woken->job = std::move(job);
    } else {
      // Jobs beyond the workers wait in the queue, up to its limit.
      if (jobs_.size() >= queue_limit_) return false;
      jobs_.push_back(std::move(job));
      return true;
    }
  }
  woken->wake.notify_one();
  return true;
}

size_t WorkerPool::idle_workers() {
  std::lock_guard<std::mutex> lock(mu_);
  return idle_.size();
}

void WorkerPool::Work(Worker* self) {
  std::unique_lock<std::mutex> lock(mu_);
  while (true) {
    std::function<void()> job;
    if (!jobs_.empty()) {
      job = std::move(jobs_.front());
      jobs_.pop_front();
    } else if (stopping_) {
      return;
    } else {
      idle_.push_back(self);
      self->wake.wait(lock, [this, self] { return self->job != nullptr || stopping_; });
      // Stopping, with no job handed over (a stopping pool hands over no
      // more): run what is still queued before going.
      if (self->job == nullptr) continue;
      job = std::move(self->job);
      self->job = nullptr;
    }
    lock.unlock();
    job();
    job = nullptr;  // what the job holds goes before the next wait
    lock.lock();
  }
}
