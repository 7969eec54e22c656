// The store in one SQLite file: WAL with full sync, one IMMEDIATE
// transaction per write (or per group of writes, each of them under a
// savepoint), the identifier counter in meta("next_oid").
#ifndef CEPLATFORM_STORE_SQLITE_CONNECTION_H_
#define CEPLATFORM_STORE_SQLITE_CONNECTION_H_

#include <sqlite3.h>

#include <string>
#include <vector>

#include "connection.h"

namespace ceplatform {
namespace store {

// The busy timeout of each connection, and how often a transaction that still
// finds the file locked is tried again, so that a writer waits out the
// others instead of losing its write.
constexpr int kBusyTimeoutMs = 5000;
constexpr int kBusyRetries = 12;

class SqliteConnection : public Connection {
 public:
  // Opens the file (the one sqlite3_open_v2 of the store), switches it to WAL
  // with full sync, and creates the schema when the file has none.
  // With `create` false: an existing store file only, opened read-only,
  // its journal mode left as it is.
  static Result Open(const std::string& path, uint64_t generation, Connection** out,
                     std::string* message, bool create = true);
  ~SqliteConnection() override;

  Result CreateDatabase(DatabaseRow* row) override;
  Result DeleteDatabase(CEOID database) override;
  Result InsertRecord(CEOID database, int64_t now, const RecordBytes& record,
                      CEOID* oid) override;
  Result UpdateRecord(CEOID database, CEOID record, int64_t now,
                      const RecordRewrite& rewrite) override;
  Result DeleteRecord(CEOID database, CEOID record, int64_t now) override;
  Result BeginGroup() override;
  bool GroupOpen() override;
  Result EndGroup(bool commit) override;
  Result ReadRecords(const ReadQuery& query, RecordSink* sink) override;
  Result DatabaseExists(CEOID database, bool* exists) override;
  Result RecordParent(CEOID record, CEOID* database) override;
  Result DatabaseByName(const std::string& name, DatabaseSink* sink) override;
  Result DatabaseByOid(CEOID database, DatabaseSink* sink) override;
  Result DatabasesAfter(CEOID after, DWORD type, int limit, DatabaseSink* sink) override;
  Result ReadSnapshot(SnapshotSink* sink, SnapshotOrder order) override;
  Result CountContent(bool* empty) override;
  Result WriteSnapshot(const std::function<bool(SnapshotSink*)>& feed, bool replace,
                       bool* not_empty) override;
  Result CheckIntegrity(std::vector<std::string>* problems) override;
  // Copies the whole file into a new one at `path` with SQLite's online
  // backup, in one step, so that the copy is one consistent snapshot however
  // other connections write meanwhile.
  Result BackupInto(const std::string& path);
  void BeforeClose() override;
  std::string LastMessage() override;

  // The statements the store runs, prepared once per connection.
  enum StatementId {
    kBegin,
    kCommit,
    kRollback,
    kSavepoint,
    kRelease,
    kRollbackTo,
    kNextOid,
    kAllDatabases,
    kDatabaseRowByName,
    kDatabaseRowByOid,
    kDatabasesAfter,
    kDatabasesOfTypeAfter,
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
    // The reads: kReadFirst + order * 4 + (descending ? 2 : 0) + (after ? 1 : 0),
    // and from a position: kReadAtFirst + order * 2 + (descending ? 1 : 0).
    kReadFirst,
    kReadAtFirst = kReadFirst + 5 * 4,
    kStatementCount = kReadAtFirst + 5 * 2,
  };

 private:
  SqliteConnection(sqlite3* db, uint64_t generation) : Connection(generation), db_(db) {}
  int Configure();
  int ReadFormat(int* format);
  int EnsureSchema(bool create);
  // Puts this build's block triggers in place of others (store_schema.h).
  int RenewBlockTriggers();
  // How many of `triggers` the schema holds as they are.
  int CountTriggersAsMade(const std::vector<std::string>& triggers, size_t* found);
  sqlite3_stmt* Statement(StatementId id, int* rc);
  int Exec(StatementId id);
  int NextObjectId(CEOID* oid);
  int TouchDatabase(CEOID database, int64_t now, bool* exists);
  int FindDatabaseByName(const std::string& name);
  // Hands the databases rows that `statement` (bound, kAllDatabases'
  // columns) gives to `sink`.
  Result DatabaseRows(sqlite3_stmt* statement, DatabaseSink* sink);
  // Runs `body` in an IMMEDIATE transaction, committed only when it gives
  // kOk; in a group, under a savepoint released only then. Returns the
  // body's result or the failure of the transaction (kNoMemory when the body
  // ran out of memory).
  template <typename Body>
  Result InTransaction(Body body);
  Result Failure(int rc);

  sqlite3* db_;
  bool group_ = false;  // between BeginGroup and EndGroup
  int last_rc_ = SQLITE_OK;
  std::string snapshot_message_;  // a whole-store failure that is no SQLite code
  sqlite3_stmt* statements_[kStatementCount] = {};
};

}  // namespace store
}  // namespace ceplatform

#endif  // CEPLATFORM_STORE_SQLITE_CONNECTION_H_
