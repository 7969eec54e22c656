// The store on a PostgreSQL server that several hosts share.
//
// Each write is one transaction (most are a single statement, committed on
// its own) with synchronous_commit on, so a write is durable on the server
// when the call returns. Identifiers come from one sequence, `oids`, shared
// by every host: never 0, never reused, and past 0xFFFFFFFF nextval fails,
// which the store reports as ERROR_DISK_FULL.
//
// Nothing waits without a bound: connecting is bounded by libpq's
// connect_timeout (kConnectTimeoutSeconds unless the URI says otherwise), a
// statement by the server's statement_timeout (kStatementTimeout when the
// server has none) and, should the server fall silent, by the same time
// plus kClientGraceMs on this side, after which the connection is dropped.
// A connection that has lost its server connects again at its next
// statement.
#ifndef CEPLATFORM_STORE_PG_CONNECTION_H_
#define CEPLATFORM_STORE_PG_CONNECTION_H_

#include <libpq-fe.h>

#include <string>

#include "connection.h"

namespace ceplatform {
namespace store {

constexpr const char* kConnectTimeoutSeconds = "5";
constexpr const char* kStatementTimeout = "5s";
constexpr int kClientGraceMs = 2000;
// How long the store waits for the server to bring a whole store to its
// format, or to make the blocks of a store written in bulk.
constexpr int kLongWorkSeconds = 3600;

class PgConnection : public Connection {
 public:
  // Connects to `uri` (a libpq connection URI) and creates the schema in the
  // first schema of the search path when it has none (the schema itself
  // too, when it does not exist).
  // With `create` false: a database whose schema holds the store's tables
  // only; nothing is created.
  static Result Open(const std::string& uri, uint64_t generation, Connection** out,
                     std::string* message, bool create = true);
  ~PgConnection() override;

  Result CreateDatabase(DatabaseRow* row) override;
  Result DeleteDatabase(CEOID database) override;
  Result InsertRecord(CEOID database, int64_t now, const RecordBytes& record,
                      CEOID* oid) override;
  Result UpdateRecord(CEOID database, CEOID record, int64_t now,
                      const RecordRewrite& rewrite) override;
  Result DeleteRecord(CEOID database, CEOID record, int64_t now) override;
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
  bool Usable() override;
  std::string LastMessage() override { return last_message_; }

  // The statements, prepared on first use on each server connection.
  enum StatementId {
    kDatabaseRowByName,
    kDatabaseRowByOid,
    kDatabasesAfter,
    kDatabasesOfTypeAfter,
    kDatabaseExists,
    kRecordParent,
    kInsertDatabase,
    kInsertNewRecord,
    kInsertRecord,
    kDeleteRecord,
    kLockDatabase,
    kTouchDatabase,
    kRecordPropsForUpdate,
    kUpdateRecord,
    kDeleteDatabaseRecords,
    kDeleteDatabaseRow,
    // The reads: kReadFirst + order * 4 + (descending ? 2 : 0) + (after ? 1 : 0),
    // and from a position: kReadAtFirst + order * 2 + (descending ? 1 : 0).
    kReadFirst,
    kReadAtFirst = kReadFirst + 5 * 4,
    kStatementCount = kReadAtFirst + 5 * 2,
  };

  class Params;
  class Rows;

 private:
  PgConnection(const std::string& uri, uint64_t generation)
      : Connection(generation), uri_(uri) {}
  Result Connect();
  // Connects unless connected.
  Result Connected();
  // When a call starting now stops waiting for the server: the statement
  // timeout and kClientGraceMs.
  int64_t CallDeadline() const;
  Result Configure();
  // Creates the tables unless they are there; `retried` after a race with
  // another host that created them.
  Result EnsureSchema(bool retried = false);
  void Drop();
  // Runs a prepared statement (binary parameters and results). *sent tells
  // whether it reached the socket, for a failure of the connection.
  Result Run(StatementId id, const Params& params, Rows* rows, bool* sent = nullptr);
  // Runs a read, once more on a new connection when the old one had lost
  // its server.
  Result RunRead(StatementId id, const Params& params, Rows* rows);
  // Runs a read of databases rows (kDatabasesAfter's columns) into `sink`.
  Result ReadDatabaseRows(StatementId id, const Params& params, DatabaseSink* sink);
  // Runs text through the simple protocol (several statements allowed),
  // waiting until `deadline_ns` (0: the call's usual deadline).
  Result RunText(const char* sql, Rows* rows, int64_t deadline_ns = 0);
  // The deadline of work that runs once and may take long: making the
  // blocks of a whole store.
  int64_t LongDeadline() const;
  // The format in meta (0 when it has none).
  Result ReadFormat(long long* format);
  // Runs one unprepared statement with binary parameters and results on the
  // connection as it is: kUnreachable, never a new connection, when it has
  // lost its server (a transaction would not survive one).
  Result RunParams(const char* sql, const Oid* types, const Params& params, Rows* rows);
  // What came back of a write sent by RunRowsBeforeCommit.
  enum class Heard {
    kNotSent,  // it never left: nothing was written
    kNothing,  // no answer came: it may have been committed or not
    kRefusal,  // an error came before its rows: nothing was written
    kRows,     // its rows came; whether it was committed is the result's
  };
  // Runs a prepared write in a pipeline of its own, asking the server to
  // send the statement's rows before it commits, so that they come unless
  // the connection fails before the commit.
  Result RunRowsBeforeCommit(StatementId id, const Params& params, Rows* rows, Heard* heard);
  // Connects unless connected, sets the deadline of a call starting now and
  // prepares statement `id` on the connection unless it is already.
  Result Ready(StatementId id, Rows* rows, int64_t* deadline_ns);
  // Sends what is buffered and waits until a result can be read without
  // blocking, or until the deadline.
  Result WaitForResult(int64_t deadline_ns);
  Result Await(int64_t deadline_ns, Rows* rows);
  // The outcome of a statement whose results have been read, `rows` holding
  // the one that tells it.
  Result Finish(Rows* rows);
  Result Classify(Rows* rows);
  Result Lost(const char* what);
  // Whether a write that failed with `result` may still have been made.
  bool Uncertain(Result result) const;
  // Runs the statements of `body` between BEGIN and COMMIT.
  template <typename Body>
  Result InTransaction(Body body);

  // Notes a server's farewell on an idle connection (see Usable), and the
  // top blocks that a write found due to be cut (pg_counts.h).
  static void OnNotice(void* self, const PGresult* notice);
  // Cuts the top blocks noted as due, each in a short transaction of its
  // own, after a write has committed; one it cannot cut now is left to a
  // later write. The caller's result and last message do not change.
  void CutDueBlocks();

  struct DueCut {
    long long db = 0;
    int order = 0;
  };
  static constexpr int kMaxDueCuts = 5;
  DueCut due_[kMaxDueCuts];
  int due_count_ = 0;
  const std::string uri_;
  bool farewell_ = false;  // the server said it is ending the session
  bool create_ = true;  // make the schema when there is none
  PGconn* conn_ = nullptr;
  bool prepared_[kStatementCount] = {};
  int64_t timeout_ms_ = 5000;
  std::string last_message_;
};

}  // namespace store
}  // namespace ceplatform

#endif  // CEPLATFORM_STORE_PG_CONNECTION_H_
