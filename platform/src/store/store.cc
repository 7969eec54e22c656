#include "store.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <new>
#include <time.h>

#include "ceplatform.h"
#include "insert_group.h"
#include "location_text.h"
#include "log_line.h"
#include "wince_kernel.h"
#include "write_group.h"

namespace ceplatform {
namespace store {
namespace {

// The code of this thread's first outage since its last take; 0: none.
thread_local DWORD t_outage = 0;

// Notes `code` as the calling thread's outage unless one is noted already.
void NoteOutage(DWORD code) {
  if (t_outage == 0) t_outage = code;
}

void CloseAll(std::vector<Connection*>* connections) {
  if (connections->empty()) return;
  (*connections)[0]->BeforeClose();
  for (Connection* connection : *connections) delete connection;
  connections->clear();
}

}  // namespace

Store& Store::Instance() {
  // Never destroyed: threads and handles may still call in during exit.
  static Store* store = new Store();
  return *store;
}

Store::Store() : queue_(&WriteGroup), inserts_(&WriteInserts) {
  pthread_atfork(&Store::BeforeFork, &Store::AfterForkInParent, &Store::AfterForkInChild);
}

// A child process must not use its parent's connections (SQLite's locks are
// per process). Taking the mutex across fork keeps the pool consistent; the
// child then forgets the connections without closing them, since closing
// could checkpoint or remove the log under the parent.
// The write queue is locked first: its leaders take the pool's mutex
// without holding the queue's, so the two are never waited for the other
// way round.
void Store::BeforeFork() {
  Instance().queue_.LockForFork();
  Instance().inserts_.LockForFork();
  Instance().mutex_.lock();
}
void Store::AfterForkInParent() {
  Instance().mutex_.unlock();
  Instance().inserts_.UnlockInParent();
  Instance().queue_.UnlockInParent();
}
void Store::AfterForkInChild() {
  Store& store = Instance();
  store.queue_.ResetInChild();
  store.inserts_.ResetInChild();
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

const char* Store::TestServerLocked() {
  const char* server = getenv(CEPLATFORM_TEST_STORE_ENV);
  if (server == nullptr || !IsServerLocation(server) || IsServerLocation(PathLocked())) {
    return nullptr;
  }
  return server;
}

bool Store::GroupsWrites() {
  std::lock_guard<std::mutex> lock(mutex_);
  return !IsServerLocation(PathLocked()) && TestServerLocked() == nullptr;
}

void Store::Write(QueuedWrite* write) {
  if (GroupsWrites()) {
    queue_.Write(write);
  } else if (write->insert != nullptr) {
    inserts_.Write(write);
    FinishInsert(write);
  } else {
    WriteAlone(write);
  }
}

// Under the test hook, a file path stands for a schema of its own on the
// test server, named after the path.
std::string Store::LocationLocked() {
  const char* path = PathLocked();
  const char* server = TestServerLocked();
  if (server == nullptr) return path;
  uint64_t hash = 14695981039346656037ull;
  for (const char* p = path; *p != '\0'; ++p) {
    hash = (hash ^ static_cast<unsigned char>(*p)) * 1099511628211ull;
  }
  char schema[24];
  snprintf(schema, sizeof(schema), "t%016llx", static_cast<unsigned long long>(hash));
  std::string location = server;
  location += strchr(server, '?') != nullptr ? '&' : '?';
  return location + "options=-csearch_path%3D" + schema;
}

Connection* Store::Acquire(Result* result, std::string* message) {
  std::string location;
  uint64_t generation;
  std::vector<Connection*> stale;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    returned_.wait(lock, [this] { return lent_ < kMaxConnections; });
    lent_++;
    while (!idle_.empty()) {
      Connection* connection = idle_.back();
      idle_.pop_back();
      if (connection->Usable()) {
        lock.unlock();
        for (Connection* old : stale) delete old;
        *result = Result::kOk;
        return connection;
      }
      open_--;
      stale.push_back(connection);  // a server restarted or went away
    }
    open_++;
    location = LocationLocked();
    generation = generation_.load(std::memory_order_acquire);
  }
  for (Connection* old : stale) delete old;
  Connection* connection = nullptr;
  *result = Connection::Open(location, generation, &connection, message);
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
  // A server that takes no writes any more, or is going away: the idle
  // connections to it go too, so that each connects again to the current one.
  std::vector<Connection*> retired;
  bool server_changed = connection->TakeServerChanged();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    lent_--;
    if (server_changed) {
      retired.swap(idle_);
      open_ -= retired.size();
    }
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
  for (Connection* old : retired) delete old;
}

size_t Store::open_connections() {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_;
}

namespace {

int64_t Ns(const struct timespec& time) {
  return static_cast<int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

// The clock of the stamps. A read checks its stamp once per record, so it
// uses the coarse clock, a read of memory rather than of the time counter.
// That clock lags the time by up to one tick, so the tick is taken off the
// lifetime: a stamp still never passes for fresh after kStampLifetimeNs.
// Without a usable coarse clock the precise one is used, with no margin.
struct StampClock {
  clockid_t id = CLOCK_MONOTONIC;
  int64_t lifetime_ns = kStampLifetimeNs;

  StampClock() {
    struct timespec tick;
    struct timespec now;
    if (clock_getres(CLOCK_MONOTONIC_COARSE, &tick) == 0 &&
        clock_gettime(CLOCK_MONOTONIC_COARSE, &now) == 0 && Ns(tick) > 0 &&
        Ns(tick) <= kStampLifetimeNs / 4) {
      id = CLOCK_MONOTONIC_COARSE;
      lifetime_ns = kStampLifetimeNs - Ns(tick);
    }
  }

  int64_t Now() const {
    struct timespec now;
    clock_gettime(id, &now);
    return Ns(now);
  }
};

const StampClock& TheStampClock() {
  static const StampClock clock;
  return clock;
}

}  // namespace

StoreStamp Store::Stamp() const {
  StoreStamp stamp;
  stamp.generation = generation_.load(std::memory_order_acquire);
  stamp.database_writes = database_writes_.load(std::memory_order_acquire);
  stamp.writes = writes_.load(std::memory_order_acquire);
  stamp.taken_ns = TheStampClock().Now();
  return stamp;
}

bool Store::Fresh(const StoreStamp& stamp) const {
  return stamp.writes == writes_.load(std::memory_order_acquire) && DatabasesFresh(stamp);
}

bool Store::DatabasesFresh(const StoreStamp& stamp) const {
  return stamp.generation == generation_.load(std::memory_order_acquire) &&
         stamp.database_writes == database_writes_.load(std::memory_order_acquire) &&
         TheStampClock().Now() - stamp.taken_ns < TheStampClock().lifetime_ns;
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
      // An injected unavailable store is an outage as a real one is.
      if (*code == ERROR_NOT_READY || *code == ERROR_TIMEOUT) NoteOutage(*code);
      return true;
    }
  }
  return false;
}

namespace {

bool IsOutage(Result result) {
  return result == Result::kUnreachable || result == Result::kTimeout ||
         result == Result::kOutcomeUnknown;
}

DWORD ReadCode(Result result) {
  switch (result) {
    case Result::kNoMemory:
      return ERROR_NOT_ENOUGH_MEMORY;
    case Result::kUnreachable:
      return ERROR_NOT_READY;
    case Result::kTimeout:
      return ERROR_TIMEOUT;
    default:
      return ERROR_READ_FAULT;
  }
}

DWORD WriteCode(Result result) {
  switch (result) {
    case Result::kNoMemory:
      return ERROR_NOT_ENOUGH_MEMORY;
    case Result::kDiskFull:
    case Result::kExhausted:
      return ERROR_DISK_FULL;
    case Result::kTooBig:
    case Result::kTooManyProperties:
      return ERROR_INVALID_PARAMETER;
    case Result::kUnreachable:
      return ERROR_NOT_READY;
    case Result::kTimeout:
      return ERROR_TIMEOUT;
    default:
      return ERROR_WRITE_FAULT;
  }
}

}  // namespace

DWORD ReadError(Result result) {
  DWORD code = ReadCode(result);
  if (IsOutage(result)) NoteOutage(code);
  return code;
}

DWORD WriteError(Result result) {
  DWORD code = WriteCode(result);
  if (IsOutage(result)) NoteOutage(code);
  return code;
}

namespace {

const char* Describe(Result result) {
  switch (result) {
    case Result::kNoMemory:
      return "out of memory";
    case Result::kDiskFull:
      return "disk full";
    case Result::kTooBig:
      return "record too big";
    case Result::kCorrupt:
      return "damaged data";
    case Result::kUnreachable:
      return "server unreachable";
    case Result::kTimeout:
      return "timed out";
    case Result::kOutcomeUnknown:
      return "answer of a write lost (made once or not at all)";
    default:
      return "failed";
  }
}

}  // namespace

void LogStoreFailure(const char* call, Result result, const std::string& message) {
  std::string where = PrintableLocation(Store::Instance().Path());
  LogLine("%s: store %s: %s%s%s", call, where.c_str(), Describe(result),
          message.empty() ? "" : ": ", message.c_str());
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

void PlatformHoldStoreWrites(BOOL hold) {
  ceplatform::store::Store& store = ceplatform::store::Store::Instance();
  store.write_queue().Hold(hold != FALSE);
  store.insert_queue().Hold(hold != FALSE);
}

long PlatformQueuedStoreWrites(void) {
  ceplatform::store::Store& store = ceplatform::store::Store::Instance();
  return static_cast<long>(store.write_queue().queued() + store.insert_queue().queued());
}

void PlatformStoreGroupSizes(unsigned long long* counts, int slots) {
  if (counts == nullptr || slots <= 0) return;
  ceplatform::store::Store& store = ceplatform::store::Store::Instance();
  unsigned long long inserts[ceplatform::store::kMaxGroupWrites];
  store.write_queue().GroupSizes(counts, static_cast<size_t>(slots));
  store.insert_queue().GroupSizes(inserts, ceplatform::store::kMaxGroupWrites);
  for (size_t i = 0; i < static_cast<size_t>(slots) && i < ceplatform::store::kMaxGroupWrites;
       ++i) {
    counts[i] += inserts[i];
  }
}

DWORD PlatformTakeStoreOutage(void) {
  DWORD code = ceplatform::store::t_outage;
  ceplatform::store::t_outage = 0;
  return code;
}

}  // extern "C"
