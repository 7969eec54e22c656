// What the store's Ce* functions share: the handle objects, the sort orders
// of a database, the write transaction and small helpers.
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

namespace ceplatform {
namespace store {

// The sort orders of a database, as stored in databases.sorts.
struct SortOrders {
  WORD count = 0;
  SORTORDERSPEC specs[CEDB_MAXSORTORDER] = {};

  void Encode(std::string* bytes) const;
  bool Decode(const void* bytes, int size);
};

// An open database. The position is a key, not a cursor: the next read
// fetches the first record after (key, oid) in the handle's order, so other
// handles and processes may write and delete meanwhile. The records after
// the position are read ahead a batch at a time (ReadAhead).
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
  std::string last_key;     // key and oid of the record last read
  CEOID last_oid = 0;
  ReadAhead ahead;          // the records after the position

 private:
  const CEOID database_;
  const uint64_t generation_;
  const SortOrders sorts_;
  const int order_;
  const bool auto_increment_;
};

// An enumeration of databases, in creation order.
class DatabaseEnumeration : public KernelObject {
 public:
  DatabaseEnumeration(DWORD type, uint64_t generation)
      : KernelObject(Kind::kDatabaseEnum), type_(type), generation_(generation) {}

  DWORD type() const { return type_; }
  uint64_t generation() const { return generation_; }

  std::mutex mutex;
  CEOID last = 0;

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

// Runs one statement that returns no row.
int ExecStatement(Connection* connection, StatementId id);

// The next object identifier, inside a write transaction. SQLITE_DONE when
// the 32-bit space is used up.
int NextObjectId(Connection* connection, CEOID* oid);

// Marks a database changed now, inside a write transaction. *exists
// receives whether the database is there.
int TouchDatabase(Connection* connection, CEOID database, bool* exists);

// A result of a transaction body: the call is refused with a last-error code
// and nothing is written.
constexpr int kRefused = -1;

// Runs `body` (returning SQLITE_OK, kRefused or an SQLite failure) in an
// IMMEDIATE transaction, committed only when the body returns SQLITE_OK.
template <typename Body>
int RunWriteTransaction(Connection* connection, Body body) {
  int rc = ExecStatement(connection, kBegin);
  if (rc != SQLITE_OK) return rc;
  // Copies read before this write stop standing for the file once it ends.
  struct RollbackUnlessCommitted {
    Connection* connection;
    bool committed = false;
    ~RollbackUnlessCommitted() {
      // SQLite ends the transaction itself after some failures (a full disk,
      // an I/O error); a ROLLBACK then would only replace the failure's
      // message, which the caller is about to log, with its own.
      if (!committed && !sqlite3_get_autocommit(connection->handle())) {
        ExecStatement(connection, kRollback);
      }
      Store::Instance().NoteWrite();
    }
  } guard{connection};
  rc = body();
  if (rc != SQLITE_OK) return rc;
  rc = ExecStatement(connection, kCommit);
  guard.committed = rc == SQLITE_OK;
  return rc;
}

}  // namespace store
}  // namespace ceplatform

#endif  // CEPLATFORM_STORE_STORE_CALL_H_
