// The threads that run the work which may wait (a plug-in call waits for the
// disk when a post is made durable): a fixed number of workers and a bounded
// queue, so that a flood of requests is refused at once instead of piling up.
//
// The workers are dealt among the event loops that hand them work (their
// partitions). A loop's job goes to an idle worker of its own partition when
// there is one: that worker last ran where the loop runs, so waking it seldom
// takes another processor, whose wake-up costs more than the job's own work
// on a small virtual machine.
#ifndef HOST_WORKER_POOL_H_
#define HOST_WORKER_POOL_H_

#include <semaphore.h>
#include <stddef.h>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class WorkerPool {
 public:
  // Starts `threads` workers, dealt among `partitions` in turn; at most
  // `queue_limit` jobs wait beyond the ones running.
  WorkerPool(int threads, size_t queue_limit, int partitions = 1);
  // Runs the jobs already queued, then joins the workers.
  ~WorkerPool();

  // Queues `job` for a worker, one of `partition`'s when one is idle, else
  // any idle one. False (the job dropped) when every worker is busy and the
  // queue is full, or the pool is stopping. Thread-safe.
  bool Submit(std::function<void()> job, int partition = 0);

  // Workers waiting for a job now.
  size_t idle_workers();
  // Jobs waiting for a worker now.
  size_t queued_jobs();
  // The partition of the worker running the calling job; -1 outside a
  // worker (for tests).
  static int CurrentPartition();

 private:
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // One worker thread, and the job handed to it while it waited. An idle
  // worker sleeps on its own semaphore rather than on a condition variable:
  // glibc's condition variable takes the pool's lock back on waking in a way
  // that makes the next unlock a system call, whether or not another thread
  // waits for the lock, and a busy pool paid that on every job.
  struct Worker {
    explicit Worker(int p);
    ~Worker();
    const int partition;
    std::thread thread;
    sem_t wake;                 // posted when a job is handed over, or at the stop
    std::function<void()> job;  // set under mu_ before `wake` is posted
  };

  void Work(Worker* self);

  const size_t queue_limit_;
  std::mutex mu_;
  std::deque<std::function<void()>> jobs_;  // waiting for a worker; guarded by mu_
  // The idle workers of each partition, the last to go idle at the back: a
  // job goes to the one whose caches are warmest, and the others sleep on.
  // Guarded by mu_.
  std::vector<std::vector<Worker*>> idle_;
  bool stopping_ = false;                   // guarded by mu_
  std::vector<std::unique_ptr<Worker>> workers_;
};

#endif  // HOST_WORKER_POOL_H_
