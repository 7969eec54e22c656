// What the store's Ce* functions share: the handle objects, the sort orders
// of a database, the mapping of write failures and small helpers.
#ifndef CEPLATFORM_STORE_STORE_CALL_H_
#define CEPLATFORM_STORE_STORE_CALL_H_

#include <stdint.h>

#include <memory>
#include <mutex>
#include <string>

#include "connection.h"
#include "handle_table.h"
#include "read_ahead.h"
#include "store.h"
#include "wince_db.h"
#include "wince_kernel.h"
#include "write_queue.h"

namespace ceplatform {
namespace store {

// The sort orders of a database, as stored in databases.sorts.
struct SortOrders {
  WORD count = 0;
  SORTORDERSPEC specs[CEDB_MAXSORTORDER] = {};

  void Encode(std::string* bytes) const;
  bool Decode(const std::string& bytes);
};

// An open database. The position is a key, not a cursor: the next read
// fetches the first record after (key, oid) in the handle's order (at it,
// after a seek), so other handles and processes may write and delete
// meanwhile. The records from the position on are read ahead a batch at a
// time (ReadAhead).
class DatabaseHandle : public KernelObject {
 public:
  DatabaseHandle(CEOID database, uint64_t generation, const SortOrders& sorts, int order,
                 bool autoIncrement)
      : KernelObject(Kind::kDatabase),
        database_(database),
        generation_(generation),
        sorts_(sorts),
        order_(order),
        auto_increment_(autoIncrement) {}

  CEOID database() const { return database_; }
  uint64_t generation() const { return generation_; }
  const SortOrders& sorts() const { return sorts_; }
  int order() const { return order_; }
  bool descending() const {
    return order_ != kCreationOrder &&
           (sorts_.specs[order_].dwFlags & CEDB_SORT_DESCENDING) != 0;
  }
  bool auto_increment() const { return auto_increment_; }

  // Guards the position: one read at a time per handle.
  std::mutex mutex;
  bool positioned = false;  // false: the next read starts at the first record
  std::string last_key;     // key and oid of the record last read, or sought
  CEOID last_oid = 0;
  bool at_last = false;     // the next read gives that record itself (a seek)
  ReadAhead ahead;          // the records after the position

 private:
  const CEOID database_;
  const uint64_t generation_;
  const SortOrders sorts_;
  const int order_;
  const bool auto_increment_;
};

class DatabaseBatch;

// An enumeration of databases, in creation order. The rows after its
// position are read ahead kBatchRows at a time: an enumeration is there to
// see every database, and each query's rows cost little next to the query.
class DatabaseEnumeration : public KernelObject {
 public:
  static constexpr int kBatchRows = 1024;

  DatabaseEnumeration(DWORD type, uint64_t generation)
      : KernelObject(Kind::kDatabaseEnum), type_(type), generation_(generation) {}

  DWORD type() const { return type_; }
  uint64_t generation() const { return generation_; }

  std::mutex mutex;
  CEOID last = 0;  // the database handed out last
  std::shared_ptr<const DatabaseBatch> ahead;
  size_t next = 0;  // of `ahead`

 private:
  const DWORD type_;
  const uint64_t generation_;
};

// The open handle's object, or nullptr with ERROR_INVALID_HANDLE (also for a
// handle opened before the store was closed).
std::shared_ptr<DatabaseHandle> LookupDatabase(HANDLE handle);
std::shared_ptr<DatabaseEnumeration> LookupEnumeration(HANDLE handle);

// Sets the last error and gives the failure result.
template <typename T>
T Fail(DWORD code, T result) {
  SetLastError(code);
  return result;
}

// NULL or the system volume (all zero).
bool IsSystemVolume(const CEGUID* volume);

// The length of a database name of at most CEDB_MAXDBASENAMELEN - 1 units;
// false when it is empty or has no terminator within CEDB_MAXDBASENAMELEN
// units.
bool DatabaseNameLength(const WCHAR* name, size_t* units);

// The current time as a FILETIME count (the platform's clock, which tests may
// fix).
int64_t FileTimeNow();

// Runs `body` (Result(Connection*), called on whichever thread writes the
// group it joins) as one write of this process (Store::Write); `bytes`: about
// what it adds to the store, for the bound of a group; `insert`: the new
// record that `body` adds, if that is what it does (its identifier is left
// in insert->written). Returns what it came to, with the backend's message
// for a failure in *message. Last-error codes are for the caller to set, on
// its own thread.
template <class Body>
Result RunWrite(Body& body, size_t bytes, std::string* message,
                RecordInsert* insert = nullptr) {
  WriteBody call(body);
  QueuedWrite write(call, bytes);
  write.insert = insert;
  Store::Instance().Write(&write);
  if (write.result != Result::kOk) message->swap(write.message);
  return write.result;
}

// A write's failure or refusal as its last-error code: the refusals that
// depend on the call (a missing database or record, a taken name) are
// mapped by the caller first. Failures are logged with `message`.
inline DWORD WriteFailure(const char* call, const std::string& message, Result result) {
  switch (result) {
    case Result::kNoDatabase:
      return ERROR_KEY_DELETED;
    case Result::kNoRecord:
    case Result::kTooManyProperties:
      return ERROR_INVALID_PARAMETER;
    case Result::kDuplicate:
      return ERROR_DUP_NAME;
    case Result::kExhausted:
      return ERROR_DISK_FULL;  // every 32-bit identifier has been used
    default:
      LogStoreFailure(call, result, message);
      return WriteError(result);
  }
}

// Marks the end of a write of this process, committed or not: copies read
// before it stop standing for the store (see WriteKind).
class WriteScope {
 public:
  explicit WriteScope(WriteKind kind) : kind_(kind) {}
  ~WriteScope() { Store::Instance().NoteWrite(kind_); }
  WriteScope(const WriteScope&) = delete;
  WriteScope& operator=(const WriteScope&) = delete;

 private:
  const WriteKind kind_;
};

}  // namespace store
}  // namespace ceplatform

#endif  // CEPLATFORM_STORE_STORE_CALL_H_
