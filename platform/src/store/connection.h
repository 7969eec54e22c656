// One connection to where the store keeps its data: the seam between the
// store's calls (handles, read-ahead, the catalogue, the record format, the
// last-error codes) and a backend that holds the tables.
//
// Every backend keeps the same four tables, under the same names (their
// text and the step between formats: store_schema.h):
//   meta(key, value)        "schema": the format version (and, on SQLite,
//                           "next_oid": the next object identifier)
//   databases(oid, name, type, flags, sorts, modified, records, size)
//                           name: the UTF-16 units as bytes (compared
//                           exactly); sorts: the sort orders, 8 bytes each;
//                           records and size are kept by triggers
//   records(oid, db, k0..k3, props)
//                           props: the record (record_format.h); kN: its
//                           key under the database's sort order N, NULL
//                           past the database's last order
//   blocks(db, ord, bkey, boid, below, n)
//                           the records of each order counted in blocks,
//                           kept by triggers (rank_blocks.h)
// Identifiers of databases and records come from one counter, are never 0
// and never handed out twice, so ascending oid is creation order.
//
// A connection does one operation at a time; each write is one transaction,
// durable when the call returns, unless the writes run as a group (SQLite:
// BeginGroup). The pool (store.h) hands it to one thread at a time.
#ifndef CEPLATFORM_STORE_CONNECTION_H_
#define CEPLATFORM_STORE_CONNECTION_H_

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "ceplatform_snapshot.h"
#include "wince_db.h"

namespace ceplatform {
namespace store {

// What a backend operation came to. Every failure is mapped to a last-error
// code in one place (store.cc).
enum class Result {
  kOk,
  kNoDatabase,      // the database is not there (deleted, or never was)
  kNoRecord,        // no such record in the database
  kDuplicate,       // a database of that name exists
  kExhausted,       // every 32-bit identifier has been used
  kTooBig,          // a record past the backend's size limit
  kTooManyProperties,  // a rewrite would give a record past 65535 properties
  kNoMemory,
  kDiskFull,
  kCorrupt,         // stored data that cannot be decoded
  kUnreachable,     // the server cannot be reached, or went away before the
                    // write was sent: nothing was written
  kTimeout,         // the connect or statement timeout passed: nothing was
                    // written
  kOutcomeUnknown,  // the server went away after a write was sent and could
                    // not be asked whether it was made: it was made at most
                    // once
  kFault,           // any other failure of the backend
};

// The sort key of a record under each of its database's orders, and its
// stored bytes.
struct RecordBytes {
  std::string keys[CEDB_MAXSORTORDER];
  WORD key_count = 0;
  std::string props;
};

// One row of the databases table.
struct DatabaseRow {
  CEOID oid = 0;
  std::string name;   // the UTF-16 units' bytes
  DWORD type = 0;
  DWORD flags = 0;
  std::string sorts;  // SortOrders::Encode
  int64_t modified = 0;
  int64_t records = 0;
  int64_t size = 0;
};

// The order a read runs in: 0..3, or kCreationOrder.
constexpr int kCreationOrder = 4;

// The records of a database from a place on, in one order and direction.
// Rows of equal keys follow the order's direction by oid too, so that a
// descending order gives the newest first.
struct ReadQuery {
  // Where the rows start: at the first record, after a key and oid (those of
  // the record read last), or at the record at a position counted in the
  // order's direction from 0, found through the counted blocks without
  // reading the records before it (rank_blocks.h).
  enum class Start { kTop, kAfter, kAt };

  CEOID database = 0;
  int order = kCreationOrder;
  bool descending = false;
  Start start = Start::kTop;
  const std::string* key = nullptr;  // kAfter
  int64_t oid = 0;                   // kAfter
  int64_t position = 0;              // kAt; past the last record: no rows
  int limit = 1;                     // at most this many rows
};

// Receives the rows of a read, one call each. The bytes are valid only
// during the call. Returns false to stop early (the read still succeeds).
class RecordSink {
 public:
  virtual ~RecordSink() = default;
  virtual bool Add(CEOID oid, const uint8_t* key, size_t key_size, const uint8_t* props,
                   size_t props_size) = 0;
};

// Receives rows of the databases table, in ascending oid.
class DatabaseSink {
 public:
  virtual ~DatabaseSink() = default;
  virtual void Add(DatabaseRow&& row) = 0;
};

// Rewrites a record inside the transaction that writes it: gets the stored
// bytes, fills *out; any result but kOk ends the write with nothing written.
using RecordRewrite =
    std::function<Result(const uint8_t* bytes, size_t size, RecordBytes* out)>;

// One new record of a group that a server writes in one transaction
// (Connection::InsertRecords). The caller fills the first three; the group
// sets the rest.
struct RecordInsert {
  // What became of the record in its group.
  enum class Then {
    kSettled,  // `result` (and `written` for kOk) is the write's outcome
    kAlone,    // nothing of it was written: it is to be written on its own
    kResend,   // its commit is in doubt: it is to be sent again under `written`
  };

  RecordInsert(CEOID database, int64_t now, const RecordBytes* record)
      : database(database), now(now), record(record) {}

  const CEOID database;
  const int64_t now;
  const RecordBytes* const record;
  Then then = Then::kAlone;
  Result result = Result::kOk;
  CEOID written = 0;
  std::string message;
};

class Connection {
 public:
  // Opens a connection to `location`: a PostgreSQL connection URI
  // (IsServerLocation) or an SQLite file. The schema is created on first use.
  // On success *out receives the connection; otherwise *message says why.
  // With `create` false an existing store only: nothing is created or
  // changed by opening, and a file or database without the store's tables
  // is refused (kFault). An SQLite file is then opened read-only.
  static Result Open(const std::string& location, uint64_t generation, Connection** out,
                     std::string* message, bool create = true);

  explicit Connection(uint64_t generation) : generation_(generation) {}
  virtual ~Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  uint64_t generation() const { return generation_; }

  // ---- Writes: each one transaction ----------------------------------------
  // Creates a database from `row` (all but oid, records, size); row->oid
  // receives its identifier. kDuplicate, kExhausted.
  virtual Result CreateDatabase(DatabaseRow* row) = 0;
  // Deletes a database and its records. kNoDatabase.
  virtual Result DeleteDatabase(CEOID database) = 0;
  // Adds a record with a new identifier (*oid) and marks the database
  // changed at `now`. kNoDatabase, kExhausted.
  virtual Result InsertRecord(CEOID database, int64_t now, const RecordBytes& record,
                              CEOID* oid) = 0;
  // Rewrites a record through `rewrite` and marks the database changed.
  // kNoDatabase, kNoRecord, or what `rewrite` gave.
  virtual Result UpdateRecord(CEOID database, CEOID record, int64_t now,
                              const RecordRewrite& rewrite) = 0;
  // Deletes a record and marks the database changed. kNoDatabase, kNoRecord.
  virtual Result DeleteRecord(CEOID database, CEOID record, int64_t now) = 0;

  // ---- Groups of writes (write_group.h) --------------------------------------
  // Opens one transaction for the writes that follow, until EndGroup: each of
  // them then runs under a savepoint of its own inside it, so that one that
  // fails or is refused leaves the others as they were. A failure may still
  // end the whole transaction (SQLite does so for some I/O errors and when
  // memory runs out); GroupOpen() is then false and every write of the group
  // is undone. Backends that do not group writes refuse (kFault).
  virtual Result BeginGroup() { return Result::kFault; }
  virtual bool GroupOpen() { return false; }
  // Ends the group: commits its transaction, synced once, or rolls back what
  // is left of it. A failed commit leaves nothing of the group.
  virtual Result EndGroup(bool commit) { return commit ? Result::kFault : Result::kOk; }

  // ---- Groups of new records on a server (insert_group.h) --------------------
  // Adds the records in one transaction (on PostgreSQL, one statement), in
  // the order given, and sets what became of each: settled (added, or
  // refused on its own, as a database that is gone), to be written alone
  // (nothing of the group was written), or to be sent again (ResendRecord)
  // under the identifier it drew, when the commit's outcome is unknown.
  // Backends that do not group them leave each to be written alone.
  virtual void InsertRecords(RecordInsert* const* inserts, size_t count) {
    for (size_t i = 0; i < count; ++i) inserts[i]->then = RecordInsert::Then::kAlone;
  }
  // Sends a record again under the identifier `oid` that its first try drew
  // and whose commit is in doubt: kOk (*written = oid) when it is stored now,
  // by this try or the first; a record of another write under that
  // identifier makes it a new write. kOutcomeUnknown when there is no telling.
  virtual Result ResendRecord(CEOID database, int64_t now, CEOID oid, const RecordBytes& record,
                              CEOID* written) {
    (void)database, (void)now, (void)oid, (void)record, (void)written;
    return Result::kOutcomeUnknown;
  }

  // ---- Reads -----------------------------------------------------------------
  virtual Result ReadRecords(const ReadQuery& query, RecordSink* sink) = 0;
  virtual Result DatabaseExists(CEOID database, bool* exists) = 0;
  // The database that holds a record. kNoRecord.
  virtual Result RecordParent(CEOID record, CEOID* database) = 0;
  // The row of the database of that name, or with that identifier, to
  // `sink` (nothing when there is none).
  virtual Result DatabaseByName(const std::string& name, DatabaseSink* sink) = 0;
  virtual Result DatabaseByOid(CEOID database, DatabaseSink* sink) = 0;
  // Up to `limit` rows after identifier `after` in ascending oid, of `type`
  // unless it is 0.
  virtual Result DatabasesAfter(CEOID after, DWORD type, int limit, DatabaseSink* sink) = 0;

  // ---- Whole stores (the owner's tools; see ceplatform_snapshot.h) ---------
  // Hands every database, the records in `order` and then the identifier
  // counter to `sink`, all from one snapshot (see WholeStore::Read), reading
  // a bounded batch of rows at a time; writes nothing. A sink that stops the
  // read leaves the result kOk.
  virtual Result ReadSnapshot(SnapshotSink* sink, SnapshotOrder order) = 0;
  // Whether the store holds no database and no record.
  virtual Result CountContent(bool* empty) = 0;
  // In one transaction: refuses (*not_empty, nothing written) a store that
  // holds data unless `replace`, which deletes it first; then writes what
  // `feed` hands its sink, keeping every identifier, key and time, and sets
  // the counter to the one fed or past the highest identifier written. Any
  // failure, or a feed that returns false, leaves the store as it was.
  virtual Result WriteSnapshot(const std::function<bool(SnapshotSink*)>& feed, bool replace,
                               bool* not_empty) = 0;
  // The backend's own integrity check; each problem appended to *problems.
  virtual Result CheckIntegrity(std::vector<std::string>* problems) = 0;

  // ---- Upkeep ----------------------------------------------------------------
  // False when the connection has lost its server and is not to be lent
  // again. Checked when the pool lends an idle connection; may look at the
  // socket without waiting.
  virtual bool Usable() { return true; }
  // Whether this connection found that its server takes no writes or is
  // going away (a failover, a shutdown): the pool then closes its other idle
  // connections, so that they connect again to the current server. Reading
  // it clears it.
  virtual bool TakeServerChanged() { return false; }
  // Called before the pool closes its idle connections (SQLite checkpoints
  // its log into the file).
  virtual void BeforeClose() {}
  // What the last failure was, for the log.
  virtual std::string LastMessage() = 0;

 private:
  const uint64_t generation_;
};

// Whether a store location names a PostgreSQL server (a libpq connection
// URI: postgresql:// or postgres://) rather than an SQLite file.
bool IsServerLocation(const char* location);

}  // namespace store
}  // namespace ceplatform

#endif  // CEPLATFORM_STORE_CONNECTION_H_
