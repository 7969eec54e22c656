#include "store.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <new>
#include <time.h>

#include "ceplatform.h"
#include "wince_kernel.h"

namespace ceplatform {
namespace store {
namespace {

void CloseAll(std::vector<Connection*>* connections) {
  if (connections->empty()) return;
  (*connections)[0]->Checkpoint();
  for (Connection* connection : *connections) delete connection;
  connections->clear();
}

}  // namespace

Store& Store::Instance() {
  // Never destroyed: threads and handles may still call in during exit.
  static Store* store = new Store();
  return *store;
}

Store::Store() {
  pthread_atfork(&Store::BeforeFork, &Store::AfterForkInParent, &Store::AfterForkInChild);
}

// A child process must not use its parent's connections (SQLite's locks are
// per process). Taking the mutex across fork keeps the pool consistent; the
// child then forgets the connections without closing them, since closing
// could checkpoint or remove the log under the parent.
void Store::BeforeFork() { Instance().mutex_.lock(); }
void Store::AfterForkInParent() { Instance().mutex_.unlock(); }
void Store::AfterForkInChild() {
  Store& store = Instance();
  static std::vector<Connection*>* abandoned = new std::vector<Connection*>();
  for (Connection* connection : store.idle_) {
    try {
      abandoned->push_back(connection);
    } catch (...) {
      // The connection is simply lost to the child.
    }
  }
  store.idle_.clear();
  // The parent's threads and their connections do not exist here; neither
  // do the threads that may have been waiting for a connection, so the
  // condition starts afresh.
  store.lent_ = 0;
  store.open_ = 0;
  new (&store.returned_) std::condition_variable();
  store.generation_.fetch_add(1, std::memory_order_acq_rel);
  store.mutex_.unlock();
}

BOOL Store::SetPath(const char* path) {
  if (path == nullptr || path[0] == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::vector<Connection*> old;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Earlier copies stay allocated: PlatformStorePath() may have handed
    // them out. A path named again reuses its copy.
    const char* copy = nullptr;
    for (const char* known : paths_) {
      if (strcmp(known, path) == 0) copy = known;
    }
    if (copy == nullptr) {
      char* fresh = strdup(path);
      bool kept = false;
      if (fresh != nullptr) {
        try {
          paths_.push_back(fresh);
          kept = true;
        } catch (...) {
        }
      }
      if (!kept) {
        free(fresh);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
      }
      copy = fresh;
    }
    path_ = copy;
    generation_.fetch_add(1, std::memory_order_acq_rel);
    old.swap(idle_);
    open_ -= old.size();
  }
  CloseAll(&old);
  return TRUE;
}

const char* Store::PathLocked() {
  if (path_ != nullptr) return path_;
  const char* env = getenv(CEPLATFORM_STORE_ENV);
  if (env != nullptr && env[0] != '\0') return env;
  return CEPLATFORM_DEFAULT_STORE;
}

const char* Store::Path() {
  std::lock_guard<std::mutex> lock(mutex_);
  return PathLocked();
}

void Store::Close() {
  std::vector<Connection*> old;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    generation_.fetch_add(1, std::memory_order_acq_rel);
    old.swap(idle_);
    open_ -= old.size();
  }
  CloseAll(&old);
}

Connection* Store::Acquire(int* rc) {
  std::string path;
  uint64_t generation;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    returned_.wait(lock, [this] { return lent_ < kMaxConnections; });
    lent_++;
    if (!idle_.empty()) {
      Connection* connection = idle_.back();
      idle_.pop_back();
      *rc = SQLITE_OK;
      return connection;
    }
    open_++;
    path = PathLocked();
    generation = generation_.load(std::memory_order_acquire);
  }
  Connection* connection = nullptr;
  *rc = Connection::Open(path, generation, &connection);
  if (connection == nullptr) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      lent_--;
      open_--;
    }
    returned_.notify_one();
  }
  return connection;
}

void Store::Release(Connection* connection) {
  bool keep = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    lent_--;
    if (connection->generation() == generation_.load(std::memory_order_acquire)) {
      try {
        idle_.push_back(connection);
        keep = true;
      } catch (...) {
        // Closed below.
      }
    }
    if (!keep) open_--;
  }
  returned_.notify_one();
  if (!keep) delete connection;
}

size_t Store::open_connections() {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_;
}

namespace {

int64_t MonotonicNs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace

StoreStamp Store::Stamp() const {
  StoreStamp stamp;
  stamp.generation = generation_.load(std::memory_order_acquire);
  stamp.writes = writes_.load(std::memory_order_acquire);
  stamp.taken_ns = MonotonicNs();
  return stamp;
}

bool Store::Fresh(const StoreStamp& stamp) const {
  return stamp.generation == generation_.load(std::memory_order_acquire) &&
         stamp.writes == writes_.load(std::memory_order_acquire) &&
         MonotonicNs() - stamp.taken_ns < kStampLifetimeNs;
}

void Store::FailCall(long count, DWORD code) {
  fail_code_.store(code, std::memory_order_release);
  fail_after_.store(count < 0 ? -1 : count, std::memory_order_release);
}

bool Store::TakeFailure(DWORD* code) {
  long pending = fail_after_.load(std::memory_order_acquire);
  while (pending >= 0) {
    long next = pending == 0 ? -1 : pending - 1;
    if (fail_after_.compare_exchange_weak(pending, next, std::memory_order_acq_rel)) {
      if (pending != 0) return false;
      *code = fail_code_.load(std::memory_order_acquire);
      return true;
    }
  }
  return false;
}

DWORD ReadErrorFromSqlite(int rc) {
  return (rc & 0xFF) == SQLITE_NOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_READ_FAULT;
}

DWORD WriteErrorFromSqlite(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_NOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_FULL:
      return ERROR_DISK_FULL;
    case SQLITE_TOOBIG:
      return ERROR_INVALID_PARAMETER;
    default:
      return ERROR_WRITE_FAULT;
  }
}

DWORD ConnectionLease::error() const {
  return access_ == kRead ? ReadErrorFromSqlite(rc_) : WriteErrorFromSqlite(rc_);
}

void LogSqliteFailure(const char* call, Connection* connection, int rc) {
  const char* message = connection != nullptr ? sqlite3_errmsg(connection->handle())
                                              : sqlite3_errstr(rc);
  fprintf(stderr, "ceplatform: %s: store %s: %s (%d)\n", call, Store::Instance().Path(),
          message, rc);
}

}  // namespace store
}  // namespace ceplatform

extern "C" {

BOOL PlatformSetStorePath(const char* path) {
  return ceplatform::store::Store::Instance().SetPath(path);
}

const char* PlatformStorePath(void) { return ceplatform::store::Store::Instance().Path(); }

void PlatformCloseStore(void) { ceplatform::store::Store::Instance().Close(); }

void PlatformFailStoreCall(long count, DWORD code) {
  ceplatform::store::Store::Instance().FailCall(count, code);
}

}  // extern "C"
