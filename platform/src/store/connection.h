// One SQLite connection to the store file, with its prepared statements.
//
// The file holds:
//   meta(key, value)        "schema" (format version) and "next_oid", the
//                           next object identifier to hand out
//   databases(oid, name, type, flags, sorts, modified, records, size)
//                           name: the UTF-16 units as a BLOB (compared
//                           exactly); sorts: the sort orders, 8 bytes each;
//                           records and size are kept by triggers
//   records(oid, db, k0..k3, props)
//                           props: the record (record_format.h); kN: its
//                           key under the database's sort order N, NULL
//                           past the database's last order
// Identifiers of databases and records come from the one counter and are
// never handed out twice, so ascending oid is creation order.
#ifndef CEPLATFORM_STORE_CONNECTION_H_
#define CEPLATFORM_STORE_CONNECTION_H_

#include <sqlite3.h>
#include <stdint.h>

#include <string>

namespace ceplatform {
namespace store {

// The statements the store runs, prepared once per connection.
enum StatementId {
  kBegin,
  kCommit,
  kRollback,
  kNextOid,
  kDatabaseByName,
  kAllDatabases,
  kDatabaseExists,
  kInsertDatabase,
  kTouchDatabase,
  kDeleteDatabase,
  kDeleteDatabaseRecords,
  kRecordParent,
  kRecordProps,
  kInsertRecord,
  kUpdateRecord,
  kDeleteRecord,
  // The reads: kReadFirst + ReadIndex(order, descending, after).
  kReadFirst,
  kStatementCount = kReadFirst + 5 * 4,
};

// The sort order a handle reads in: 0..3, or kCreationOrder.
constexpr int kCreationOrder = 4;

// The read statement for an order and direction, from the start or after a
// key (?2) and oid (?3), returning at most ?4 rows of (oid, key, properties).
// Every read binds the database as ?1.
inline StatementId ReadStatement(int order, bool descending, bool after) {
  return static_cast<StatementId>(kReadFirst + order * 4 + (descending ? 2 : 0) +
                                  (after ? 1 : 0));
}

// The busy timeout of each connection, and how often a transaction that still
// finds the file locked is tried again, so that a writer waits out the
// others instead of losing its write.
constexpr int kBusyTimeoutMs = 5000;
constexpr int kBusyRetries = 12;

// A connection used by one thread at a time (the pool hands it out).
class Connection {
 public:
  // Opens the file, switches it to WAL with full sync, and creates the schema
  // when the file has none. Returns an SQLite result code; on success *out
  // receives the connection.
  static int Open(const std::string& path, uint64_t generation, Connection** out);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  sqlite3* handle() const { return db_; }
  uint64_t generation() const { return generation_; }

  // The prepared statement, reset and unbound; nullptr with *rc set when it
  // cannot be prepared.
  sqlite3_stmt* Statement(StatementId id, int* rc);

  // Steps a statement, trying again while the file stays locked beyond the
  // busy timeout.
  static int Step(sqlite3_stmt* statement);

  // Checkpoints the log into the file and truncates it.
  void Checkpoint();

 private:
  Connection(sqlite3* db, uint64_t generation) : db_(db), generation_(generation) {}
  int Configure();
  int EnsureSchema();

  sqlite3* db_;
  uint64_t generation_;
  sqlite3_stmt* statements_[kStatementCount] = {};
};

// Resets a statement and clears its bindings when the scope ends.
class StatementScope {
 public:
  explicit StatementScope(sqlite3_stmt* statement) : statement_(statement) {}
  ~StatementScope() {
    if (statement_ != nullptr) {
      sqlite3_reset(statement_);
      sqlite3_clear_bindings(statement_);
    }
  }
  StatementScope(const StatementScope&) = delete;
  StatementScope& operator=(const StatementScope&) = delete;

 private:
  sqlite3_stmt* statement_;
};

}  // namespace store
}  // namespace ceplatform

#endif  // CEPLATFORM_STORE_CONNECTION_H_
