// The process's side of the store: where it is (an SQLite file or a
// PostgreSQL URI), a pool of connections to it, and the failure a test asked
// for.
//
// Each store call borrows a connection for its duration (ConnectionLease) and
// gives it back; nothing is held between calls, so a database handle keeps
// only its position and stays valid while other handles and processes write.
// Closing the store starts a new generation: idle connections are closed at
// once, busy ones when they come back, and handles of an older generation
// are refused.
//
// Reads may keep what one query returned for the calls that follow (a
// handle's records read ahead, the first records of a database that later
// handles share, a database found by name, the databases an enumeration
// read ahead). Such a copy is
// stamped when read and used only while it is fresh: the same generation, no
// write transaction of this process ended since, and younger than
// kStampLifetimeNs, so that other processes' writes show within that time.
// What a record write cannot change (which databases exist, their names and
// sort orders) stays fresh across this process's record writes, so a board
// opens its database after a post without a query.
// The bound holds for other hosts on one PostgreSQL server too: a copy is
// read by a query that starts after its stamp was taken, so any write
// committed before the stamp is in it, and one committed later shows once
// the copy has aged out, whichever host wrote it. Only this process's own
// writes need to show at once, and those it counts itself.
#ifndef CEPLATFORM_STORE_STORE_H_
#define CEPLATFORM_STORE_STORE_H_

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "connection.h"
#include "wince_types.h"
#include "write_queue.h"

namespace ceplatform {
namespace store {

// How long a copy of stored data may stand for the store when this process
// has not written since it was read.
constexpr int64_t kStampLifetimeNs = 20 * 1000 * 1000;

// When a copy of stored data was read.
struct StoreStamp {
  uint64_t generation = 0;
  uint64_t writes = 0;           // writes of any kind ended in this process
  uint64_t database_writes = 0;  // of those, the ones to databases themselves
  int64_t taken_ns = 0;          // monotonic clock
};

// What a write of this process changed: only records (their databases'
// counts, sizes and times included), or databases themselves (created,
// deleted, renamed, or their sort orders).
enum class WriteKind { kRecords, kDatabases };

// Store calls are short and mostly use the processor, so a few connections
// serve any number of threads; each open connection keeps a page cache and
// its prepared statements (about 120 KiB).
constexpr size_t kMaxConnections = 8;

class Store {
 public:
  // The one store of the process.
  static Store& Instance();

  // See PlatformSetStorePath, PlatformStorePath, PlatformCloseStore.
  BOOL SetPath(const char* path);
  const char* Path();
  void Close();

  uint64_t generation() const { return generation_.load(std::memory_order_acquire); }

  // A stamp for data about to be read: take it before the query.
  StoreStamp Stamp() const;
  // Whether data read under `stamp` still stands for the store.
  bool Fresh(const StoreStamp& stamp) const;
  // Whether the databases' names, types, flags and sort orders read under
  // `stamp` still stand: as Fresh, but record writes do not end them.
  bool DatabasesFresh(const StoreStamp& stamp) const;
  // Called when a write transaction of this process ends, committed or not.
  void NoteWrite(WriteKind kind) {
    if (kind == WriteKind::kDatabases) {
      database_writes_.fetch_add(1, std::memory_order_acq_rel);
    }
    writes_.fetch_add(1, std::memory_order_acq_rel);
  }

  // A connection of the current generation; nullptr with the failure in
  // *result and *message when none can be opened. An idle connection that
  // has lost its server is closed and replaced. At most kMaxConnections are
  // out at once; a call beyond them waits for one to come back.
  Connection* Acquire(Result* result, std::string* message);
  void Release(Connection* connection);

  // Connections open now, lent out or idle (for tests).
  size_t open_connections();

  // Runs one write of a store call and sets its result (and message): on an
  // SQLite file through the write queue, so that writes of several threads
  // at once share a transaction and its sync (write_queue.h); on a server,
  // a new record through a queue of its own, so that the records that
  // threads add at once share a commit (insert_group.h), and any other write
  // on a connection of its own, since the server lets writers go on side by
  // side. Never throws.
  void Write(QueuedWrite* write);
  // Both queues: the SQLite file's, and the server's new records'.
  WriteQueue& write_queue() { return queue_; }
  WriteQueue& insert_queue() { return inserts_; }

  // See PlatformFailStoreCall. TakeFailure() is called once at the start of
  // every store call: true (with the code) when this call is to fail.
  void FailCall(long count, DWORD code);
  bool TakeFailure(DWORD* code);

 private:
  Store();
  const char* PathLocked();
  // The test server that stands for the store file (CEPLATFORM_TEST_STORE_ENV),
  // or nullptr.
  const char* TestServerLocked();
  std::string LocationLocked();
  // Whether the store is an SQLite file, whose writes queue.
  bool GroupsWrites();
  static void BeforeFork();
  static void AfterForkInParent();
  static void AfterForkInChild();

  std::mutex mutex_;
  const char* path_ = nullptr;     // set by SetPath: one of paths_
  std::vector<const char*> paths_;  // every path set; never freed
  std::condition_variable returned_;  // a connection came back
  size_t lent_ = 0;                   // connections out now, of any generation
  size_t open_ = 0;                   // connections open, lent or idle
  std::vector<Connection*> idle_;
  std::atomic<uint64_t> generation_{1};
  std::atomic<uint64_t> writes_{0};
  std::atomic<uint64_t> database_writes_{0};
  std::atomic<long> fail_after_{-1};
  std::atomic<DWORD> fail_code_{0};
  WriteQueue queue_;
  WriteQueue inserts_;
};

// The last-error code for a failed read or write (wince_db.h lists them).
// Every failure a store call reports goes through one of these, so they also
// note a store that was unavailable (kUnreachable, kTimeout, kOutcomeUnknown)
// as the calling thread's outage (PlatformTakeStoreOutage).
DWORD ReadError(Result result);
DWORD WriteError(Result result);

// Logs a failure of the store with the call that met it and the store.
void LogStoreFailure(const char* call, Result result, const std::string& message);

// Borrows a connection for one store call.
class ConnectionLease {
 public:
  // Whether a failure to get a connection is reported as a read or a write
  // fault.
  enum Access { kRead, kWrite };

  // Borrows a connection for `call`; when none can be had, the failure is
  // logged with the call's name and error() gives its last-error code.
  ConnectionLease(const char* call, Access access)
      : access_(access), connection_(Store::Instance().Acquire(&result_, &message_)) {
    if (connection_ == nullptr) LogStoreFailure(call, result_, message_);
  }
  ~ConnectionLease() {
    if (connection_ != nullptr) Store::Instance().Release(connection_);
  }
  ConnectionLease(const ConnectionLease&) = delete;
  ConnectionLease& operator=(const ConnectionLease&) = delete;

  Connection* get() const { return connection_; }
  // The last-error code of a failed lease.
  DWORD error() const {
    return access_ == kRead ? ReadError(result_) : WriteError(result_);
  }

 private:
  Result result_ = Result::kOk;
  std::string message_;
  Access access_;
  Connection* connection_;
};

}  // namespace store
}  // namespace ceplatform

#endif  // CEPLATFORM_STORE_STORE_H_
