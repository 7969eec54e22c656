// The store on a PostgreSQL server that several hosts share: the
// connection's reads and writes (pg_connection.cc), its schema
// (pg_schema.cc) and whole stores (pg_snapshot.cc), over one PgSession
// (pg_session.h: the wire, pooling, failover, faults).
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
// statement; a write that never reached a server that could take it is sent
// once more within the call.
#ifndef CEPLATFORM_STORE_PG_CONNECTION_H_
#define CEPLATFORM_STORE_PG_CONNECTION_H_

#include <functional>
#include <string>

#include "connection.h"
#include "pg_session.h"

namespace ceplatform {
namespace store {

class PgConnection : public Connection {
 public:
  // Connects to `uri` (a libpq connection URI) and creates the schema in the
  // first schema of the search path when it has none (the schema itself
  // too, when it does not exist).
  // With `create` false: a database whose schema holds the store's tables
  // only; nothing is created.
  static Result Open(const std::string& uri, uint64_t generation, Connection** out,
                     std::string* message, bool create = true);

  Result CreateDatabase(DatabaseRow* row) override;
  Result DeleteDatabase(CEOID database) override;
  Result InsertRecord(CEOID database, int64_t now, const RecordBytes& record,
                      CEOID* oid) override;
  Result UpdateRecord(CEOID database, CEOID record, int64_t now,
                      const RecordRewrite& rewrite) override;
  Result DeleteRecord(CEOID database, CEOID record, int64_t now) override;
  void InsertRecords(RecordInsert* const* inserts, size_t count) override;
  Result ResendRecord(CEOID database, int64_t now, CEOID oid, const RecordBytes& record,
                      CEOID* written) override;
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
  bool Usable() override { return session_.Usable(); }
  bool TakeServerChanged() override { return session_.TakeServerChanged(); }
  std::string LastMessage() override { return session_.message(); }

 private:
  PgConnection(const std::string& uri, uint64_t generation)
      : Connection(generation), session_(uri) {
    session_.SetNoticeHook(&PgConnection::OnNotice, this);
  }
  // Creates the tables unless they are there; `retried` after a race with
  // another host that created them (a few times).
  Result EnsureSchema(int retried = 0);
  // The format in meta (0 when it has none).
  Result ReadFormat(long long* format);
  // Whether the store's functions are this build's (an older build's are
  // put anew by EnsureSchema).
  Result HasCurrentFunctions(bool* current);
  // Runs a write: once more on a new connection when nothing was written
  // and the first connection could not take it (lost, shutting down,
  // read-only), so that the second reaches the current server; and again,
  // a few times, when the server undid it to end a deadlock or a conflict.
  Result RunWrite(int id, const PgParams& params, PgRows* rows, PgSession::Heard* heard);
  // Runs a read, once more on a new connection when the old one had lost
  // its server.
  Result RunRead(int id, const PgParams& params, PgRows* rows);
  // Runs a read of databases rows (kDatabasesAfter's columns) into `sink`.
  Result ReadDatabaseRows(int id, const PgParams& params, DatabaseSink* sink);
  // Sends an insert again under the identifier `oid` that its first try
  // drew and whose answer was lost; *written: the record's identifier.
  Result ResendInsert(CEOID database, int64_t now, CEOID oid, const PgParams& again,
                      const RecordBytes& record, CEOID* written);
  // Runs the statements of `body` between BEGIN and COMMIT; a `repeatable`
  // body runs again from BEGIN, a few times, when the server undid it to
  // end a deadlock or a conflict.
  Result InTransaction(const std::function<Result()>& body, bool repeatable = false);

  // Notes the top blocks that a write found due to be cut (pg_counts.h).
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

  PgSession session_;
  bool create_ = true;  // make the schema when there is none
  DueCut due_[kMaxDueCuts];
  int due_count_ = 0;
};

}  // namespace store
}  // namespace ceplatform

#endif  // CEPLATFORM_STORE_PG_CONNECTION_H_
