#include "worker_pool.h"

#include <errno.h>

namespace {

thread_local int t_partition = -1;

}  // namespace

WorkerPool::WorkerPool(int threads, size_t queue_limit, int partitions)
    : queue_limit_(queue_limit), idle_(static_cast<size_t>(partitions < 1 ? 1 : partitions)) {
  for (int i = 0; i < threads; ++i) {
    workers_.push_back(std::make_unique<Worker>(i % static_cast<int>(idle_.size())));
  }
  for (auto& worker : workers_) {
    Worker* mine = worker.get();
    worker->thread = std::thread([this, mine] {
      t_partition = mine->partition;
      Work(mine);
    });
  }
}

WorkerPool::Worker::Worker(int p) : partition(p) { sem_init(&wake, 0, 0); }

WorkerPool::Worker::~Worker() { sem_destroy(&wake); }

int WorkerPool::CurrentPartition() { return t_partition; }

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  for (auto& worker : workers_) sem_post(&worker->wake);
  for (auto& worker : workers_) worker->thread.join();
}

bool WorkerPool::Submit(std::function<void()> job, int partition) {
  Worker* woken = nullptr;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_) return false;
    // The worker of the caller's partition that went idle last, else of the
    // next partition with one.
    size_t count = idle_.size();
    size_t own = partition >= 0 ? static_cast<size_t>(partition) % count : 0;
    for (size_t k = 0; k < count && woken == nullptr; ++k) {
      std::vector<Worker*>& idle = idle_[(own + k) % count];
      if (!idle.empty()) {
        woken = idle.back();
        idle.pop_back();
      }
    }
    if (woken != nullptr) {
      woken->job = std::move(job);
    } else {
      // Jobs beyond the workers wait in the queue, up to its limit.
      if (jobs_.size() >= queue_limit_) return false;
      jobs_.push_back(std::move(job));
      return true;
    }
  }
  sem_post(&woken->wake);
  return true;
}

size_t WorkerPool::idle_workers() {
  std::lock_guard<std::mutex> lock(mu_);
  size_t idle = 0;
  for (const auto& partition : idle_) idle += partition.size();
  return idle;
}

size_t WorkerPool::queued_jobs() {
  std::lock_guard<std::mutex> lock(mu_);
  return jobs_.size();
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
      idle_[static_cast<size_t>(self->partition)].push_back(self);
      lock.unlock();
      while (sem_wait(&self->wake) != 0 && errno == EINTR) {
      }
      // The post came after the job was set: the job is this worker's alone
      // now. Without one the pool is stopping (a stopping pool hands over no
      // more): what is still queued runs before the worker goes.
      job = std::move(self->job);
      self->job = nullptr;
      if (!job) {
        lock.lock();
        continue;
      }
    }
    if (lock.owns_lock()) lock.unlock();
    job();
    job = nullptr;  // what the job holds goes before the next wait
    lock.lock();
  }
}
