#include "pg_connection.h"

#include <string.h>
#include <time.h>

#include <algorithm>
#include <new>
#include <vector>

#include "pg_counts.h"
#include "pg_statements.h"

namespace ceplatform {
namespace store {
namespace {

void Pause(long ms) {
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000 * 1000L};
  nanosleep(&pause, nullptr);
}

// How often a write undone by the server to end a deadlock goes again.
constexpr int kConflictRetries = 5;
// How often a write whose new identifier was taken draws another. A server
// that took over from another may hand out again the identifiers of records
// it received only as they were sent again (one per write in flight at the
// failover) until ResendInsert moves its sequence past them.
constexpr int kTakenIdentifierRetries = 64;

// Whether a write that came to `result` with `heard` wrote nothing and may
// go once more on a new connection: it never left, or the server refused it
// before running it because it is going away or takes no writes.
bool NothingWritten(PgSession::Heard heard, Result result) {
  return result == Result::kUnreachable &&
         (heard == PgSession::Heard::kNotSent || heard == PgSession::Heard::kRefusal);
}

}  // namespace

Result PgConnection::Open(const std::string& uri, uint64_t generation, Connection** out,
                          std::string* message, bool create) {
  PgConnection* connection = new (std::nothrow) PgConnection(uri, generation);
  if (connection == nullptr) return Result::kNoMemory;
  connection->create_ = create;
  Result result = connection->session_.Connected();
  if (result == Result::kOk) result = connection->EnsureSchema();
  if (result != Result::kOk) {
    *message = connection->LastMessage();
    delete connection;
    return result;
  }
  *out = connection;
  return Result::kOk;
}

Result PgConnection::RunWrite(int id, const PgParams& params, PgRows* rows,
                             PgSession::Heard* heard) {
  Result result = session_.Run(Statement(id), params, rows, heard);
  if (NothingWritten(*heard, result)) result = session_.Run(Statement(id), params, rows, heard);
  // Writers of one board in several places of its order may deadlock on its
  // blocks; the server undoes one of them, which then goes again.
  for (int retry = 0; retry < kConflictRetries && result == Result::kFault &&
                      *heard == PgSession::Heard::kRefusal && session_.Conflicted();
       ++retry) {
    result = session_.Run(Statement(id), params, rows, heard);
  }
  // A new record fails as a duplicate only when its identifier is taken: it
  // draws again.
  for (int retry = 0; id == kInsertNewRecord && retry < kTakenIdentifierRetries &&
                      result == Result::kDuplicate && *heard == PgSession::Heard::kRefusal;
       ++retry) {
    result = session_.Run(Statement(id), params, rows, heard);
  }
  return result;
}

Result PgConnection::RunRead(int id, const PgParams& params, PgRows* rows) {
  Result result = session_.Run(Statement(id), params, rows);
  if (result == Result::kUnreachable) result = session_.Run(Statement(id), params, rows);
  return result;
}

Result PgConnection::InTransaction(const std::function<Result()>& body, bool repeatable) {
  for (int attempt = 0;; ++attempt) {
    Result result = session_.Begin();
    // BEGIN writes nothing: a server that could not take it is left for the
    // one a new connection reaches.
    if (result == Result::kUnreachable) result = session_.Begin();
    if (result != Result::kOk) return result;
    result = body();
    if (result == Result::kOk) return session_.Commit();
    bool again = repeatable && attempt < kConflictRetries && session_.Conflicted();
    session_.Rollback();
    if (!again) return result;
  }
}

void PgConnection::OnNotice(void* self, const PGresult* notice) {
  PgConnection* connection = static_cast<PgConnection*>(self);
  DueCut due;
  if (!ParseCutDue(PQresultErrorField(notice, PG_DIAG_MESSAGE_PRIMARY), &due.db, &due.order)) {
    return;
  }
  for (int i = 0; i < connection->due_count_; ++i) {
    if (connection->due_[i].db == due.db && connection->due_[i].order == due.order) return;
  }
  if (connection->due_count_ < kMaxDueCuts) connection->due_[connection->due_count_++] = due;
}

void PgConnection::CutDueBlocks() {
  int count = due_count_;
  due_count_ = 0;
  std::string kept = session_.message();
  for (int i = 0; i < count && session_.connected(); ++i) {
    PgRows rows;
    Result result = session_.Begin();
    if (result == Result::kOk) {
      result = session_.RunText(CutTopBlockSql(due_[i].db, due_[i].order).c_str(), &rows);
    }
    if (result == Result::kOk) {
      session_.Commit();
    } else {
      session_.Rollback();  // left to a later write
    }
  }
  session_.set_message(kept);
}

// ---- Writes ----------------------------------------------------------------------

Result PgConnection::CreateDatabase(DatabaseRow* row) {
  PgParams params;
  params.Bytes(row->name);
  params.Int(row->type);
  params.Int(row->flags);
  params.Bytes(row->sorts);
  params.Int(row->modified);
  for (int draw = 0; draw <= kTakenIdentifierRetries; ++draw) {
    PgRows rows;
    PgSession::Heard heard;
    Result result = RunWrite(kInsertDatabase, params, &rows, &heard);
    if (heard == PgSession::Heard::kNothing && session_.Uncertain(result)) {
      return Result::kOutcomeUnknown;
    }
    if (result != Result::kOk) return result;
    if (rows.count() != 1) return Result::kFault;
    if (!rows.Null(0, 0)) {
      row->oid = static_cast<CEOID>(rows.Int(0, 0));
      return Result::kOk;
    }
    if (rows.Int(0, 1) == 0) return Result::kDuplicate;  // the name is taken
  }
  session_.set_message("every identifier drawn was taken by a record");
  return Result::kFault;
}

Result PgConnection::DeleteDatabase(CEOID database) {
  return InTransaction([&]() -> Result {
    PgParams params;
    params.Int(database);
    PgRows rows;
    // Locking the row first makes writers of the database wait, and the
    // records deleted next include every record committed before.
    Result result = session_.Run(Statement(kLockDatabase), params, &rows);
    if (result != Result::kOk) return result;
    if (rows.count() == 0) return Result::kNoDatabase;
    // The row first: its trigger removes the database's blocks, so that the
    // records' triggers pass over them.
    result = session_.Run(Statement(kDeleteDatabaseRow), params, &rows);
    if (result != Result::kOk) return result;
    return session_.Run(Statement(kDeleteDatabaseRecords), params, &rows);
  }, true);
}

namespace {

// A record's keys (NULL past its own) and properties.
void RecordFields(const RecordBytes& record, PgParams* params) {
  for (int i = 0; i < CEDB_MAXSORTORDER; ++i) {
    if (i < record.key_count) {
      params->Bytes(record.keys[i]);
    } else {
      params->Null();
    }
  }
  params->Bytes(record.props);
}

// The parameters of an insert: the identifier when one is given, the
// database, the time and the fields.
void InsertParams(CEOID oid, CEOID database, int64_t now, const RecordBytes& record,
                  PgParams* params) {
  if (oid != 0) params->Int(oid);
  params->Int(database);
  params->Int(now);
  RecordFields(record, params);
}

}  // namespace

Result PgConnection::InsertRecord(CEOID database, int64_t now, const RecordBytes& record,
                                  CEOID* written) {
  PgParams fields;
  InsertParams(0, database, now, record, &fields);
  PgRows rows;
  PgSession::Heard heard;
  Result result = RunWrite(kInsertNewRecord, fields, &rows, &heard);
  // No row: nothing was inserted, the database is gone.
  if (heard == PgSession::Heard::kRows && rows.count() == 0) return Result::kNoDatabase;
  if (result == Result::kOk) {
    *written = static_cast<CEOID>(rows.Int(0, 0));
    CutDueBlocks();
    return Result::kOk;
  }
  if (heard != PgSession::Heard::kRows) {
    // Without the identifier there is no telling whether a commit was made.
    return heard == PgSession::Heard::kNothing && session_.Uncertain(result)
               ? Result::kOutcomeUnknown
               : result;
  }
  // The rows came and the commit did not, or may not stand (its answer was
  // lost, or the server stopped waiting for its standby).
  if (!session_.Uncertain(result) && result != Result::kOutcomeUnknown) return result;
  CEOID oid = static_cast<CEOID>(rows.Int(0, 0));
  PgParams again;
  InsertParams(oid, database, now, record, &again);
  return ResendInsert(database, now, oid, again, record, written);
}

void PgConnection::InsertRecords(RecordInsert* const* inserts, size_t count) {
  // One statement for the whole group (its time the latest of theirs), so
  // that the server's work for a statement, and the triggers', is done once.
  PgParams fields;
  int64_t now = 0;
  for (size_t i = 0; i < count; ++i) now = std::max(now, inserts[i]->now);
  fields.Int(now);
  for (size_t i = 0; i < count; ++i) {
    fields.Int(inserts[i]->database);
    RecordFields(*inserts[i]->record, &fields);
  }
  const PgStatement& statement = Statement(kInsertNewRecords + static_cast<int>(count) - 1);
  PgRows rows;
  PgSession::Heard heard;
  Result result = session_.Run(statement, fields, &rows, &heard);
  // A connection that had lost its server: once more on a new one, which
  // reaches the current server.
  if (heard == PgSession::Heard::kNotSent && result == Result::kUnreachable) {
    result = session_.Run(statement, fields, &rows, &heard);
  }
  // Each record's identifier by its place in the group; none for a record
  // whose database is gone.
  std::vector<CEOID> written(count, 0);
  for (int row = 0; row < rows.count(); ++row) {
    int64_t place = rows.Int(row, 0);
    if (place >= 1 && static_cast<size_t>(place) <= count) {
      written[place - 1] = static_cast<CEOID>(rows.Int(row, 1));
    }
  }
  // What the group came to: committed (kOk); refused by the server, or not
  // committed for sure, so that nothing of it was written; never sent, the
  // server could not be had (twice, as a lone post tries); or sent, and
  // maybe committed (its answer lost, or the server warned about it).
  bool refused = heard == PgSession::Heard::kRefusal ||
                 (heard == PgSession::Heard::kRows && result != Result::kOk &&
                  !session_.Uncertain(result) && result != Result::kOutcomeUnknown);
  bool maybe = heard == PgSession::Heard::kRows && !refused;
  for (size_t i = 0; i < count; ++i) {
    RecordInsert* insert = inserts[i];
    insert->then = RecordInsert::Then::kSettled;
    if (maybe && written[i] == 0) {
      insert->result = Result::kNoDatabase;  // no row: nothing added, the database is gone
    } else if (maybe) {
      insert->written = written[i];
      insert->result = Result::kOk;
      if (result != Result::kOk) insert->then = RecordInsert::Then::kResend;
    } else if (refused) {
      insert->then = RecordInsert::Then::kAlone;
    } else {
      // Never sent: the failure; sent, and its rows never came back: no
      // telling whether it was committed.
      insert->result =
          heard == PgSession::Heard::kNotSent ? result : Result::kOutcomeUnknown;
      insert->message = session_.message();
    }
  }
  if (result == Result::kOk) CutDueBlocks();
}

Result PgConnection::ResendRecord(CEOID database, int64_t now, CEOID oid,
                                  const RecordBytes& record, CEOID* written) {
  PgParams again;
  InsertParams(oid, database, now, record, &again);
  return ResendInsert(database, now, oid, again, record, written);
}

Result PgConnection::ResendInsert(CEOID database, int64_t now, CEOID oid,
                                  const PgParams& again, const RecordBytes& record,
                                  CEOID* written) {
  // The identifier was drawn for this call, so sending the insert again
  // with it adds the record, or finds it committed by the first try
  // (waiting for that one to end if it still runs), and its commit waits for
  // the standby as any other. Tried until the statement timeout; past that,
  // the write was made once or not at all.
  int64_t give_up = PgSession::NowNs() + session_.timeout_ms() * 1000000;
  std::string first = session_.message();
  PgRows rows;
  PgSession::Heard heard;
  Result result;
  for (;;) {
    result = session_.Run(Statement(kInsertRecord), again, &rows, &heard);
    if (result != Result::kUnreachable || PgSession::NowNs() > give_up) break;
    Pause(100);
  }
  if (result == Result::kOk && rows.count() == 1) {
    // Added now, perhaps on a server that took over and whose sequence is
    // behind the identifier: moved past it, so that it is not drawn again.
    // A failure here leaves that to the retries of RunWrite.
    PgParams drawn;
    drawn.Int(oid);
    PgRows ignored;
    session_.Run(Statement(kAdvanceIdentifiers), drawn, &ignored);
    *written = oid;
    return Result::kOk;
  }
  if (result == Result::kOk) {
    // Nothing added: the identifier is taken, or the database is gone. A
    // record under it is this call's only with the same database and bytes:
    // a server that took over from another may hand out again identifiers
    // whose records it never received.
    PgParams key;
    key.Int(oid);
    PgRows found;
    result = RunRead(kRecordOwner, key, &found);
    if (result == Result::kOk && found.count() == 1) {
      size_t size = 0;
      const uint8_t* props = found.Bytes(0, 1, &size);
      if (static_cast<CEOID>(found.Int(0, 0)) == database && size == record.props.size() &&
          memcmp(props, record.props.data(), size) == 0) {
        *written = oid;
        return Result::kOk;
      }
      // Another post holds it: this one goes in under an identifier of its
      // own, as a new write.
      return InsertRecord(database, now, record, written);
    }
    if (result == Result::kOk) {
      bool exists = false;
      result = DatabaseExists(database, &exists);
      if (result == Result::kOk && !exists) return Result::kNoDatabase;
      // The record came and went (deleted since), or was never made: no
      // telling which.
      if (result == Result::kOk) result = Result::kOutcomeUnknown;
    }
  }
  session_.set_message(first + "; then: " + session_.message());
  return Result::kOutcomeUnknown;
}

Result PgConnection::UpdateRecord(CEOID database, CEOID record, int64_t now,
                                  const RecordRewrite& rewrite) {
  return InTransaction([&]() -> Result {
    PgParams touch;
    touch.Int(database);
    touch.Int(now);
    PgRows rows;
    Result result = session_.Run(Statement(kTouchDatabase), touch, &rows);
    if (result != Result::kOk) return result;
    if (rows.count() == 0) return Result::kNoDatabase;
    PgParams key;
    key.Int(record);
    key.Int(database);
    result = session_.Run(Statement(kRecordPropsForUpdate), key, &rows);
    if (result != Result::kOk) return result;
    if (rows.count() == 0) return Result::kNoRecord;
    RecordBytes rewritten;
    size_t size = 0;
    const uint8_t* bytes = rows.Bytes(0, 0, &size);
    result = rewrite(bytes, size, &rewritten);
    if (result != Result::kOk) return result;
    PgParams params;
    params.Int(record);
    params.Int(database);
    for (int i = 0; i < CEDB_MAXSORTORDER; ++i) {
      if (i < rewritten.key_count) {
        params.Bytes(rewritten.keys[i]);
      } else {
        params.Null();
      }
    }
    params.Bytes(rewritten.props);
    return session_.Run(Statement(kUpdateRecord), params, &rows);
  }, true);
}

Result PgConnection::DeleteRecord(CEOID database, CEOID record, int64_t now) {
  PgParams params;
  params.Int(record);
  params.Int(database);
  params.Int(now);
  PgRows rows;
  PgSession::Heard heard;
  Result result = RunWrite(kDeleteRecord, params, &rows, &heard);
  if (heard == PgSession::Heard::kNothing && session_.Uncertain(result)) {
    return Result::kOutcomeUnknown;
  }
  if (result != Result::kOk) return result;
  if (rows.count() != 1) return Result::kFault;
  if (rows.Int(0, 0) == 0) return Result::kNoDatabase;
  if (rows.Int(0, 1) == 0) return Result::kNoRecord;
  return Result::kOk;
}

// ---- Reads -----------------------------------------------------------------------

Result PgConnection::ReadRecords(const ReadQuery& query, RecordSink* sink) {
  PgParams params;
  params.Int(query.database);
  bool after = query.start == ReadQuery::Start::kAfter;
  int id;
  if (query.start == ReadQuery::Start::kAt) {
    params.Int(query.position);
    id = kReadAtFirst + query.order * 2 + (query.descending ? 1 : 0);
  } else {
    if (after) {
      params.Bytes(*query.key);
      params.Int(query.oid);
    } else {
      params.Null();
      params.Null();
    }
    id = kReadFirst + query.order * 4 + (query.descending ? 2 : 0) + (after ? 1 : 0);
  }
  params.Int(query.limit);
  PgRows rows;
  Result result = RunRead(id, params, &rows);
  if (result != Result::kOk) return result;
  for (int i = 0; i < rows.count(); ++i) {
    size_t key_size = 0, props_size = 0;
    const uint8_t* key = rows.Null(i, 1) ? nullptr : rows.Bytes(i, 1, &key_size);
    const uint8_t* props = rows.Bytes(i, 2, &props_size);
    if (!sink->Add(static_cast<CEOID>(rows.Int(i, 0)), key, key_size, props, props_size)) break;
  }
  return Result::kOk;
}

Result PgConnection::DatabaseExists(CEOID database, bool* exists) {
  PgParams params;
  params.Int(database);
  PgRows rows;
  Result result = RunRead(kDatabaseExists, params, &rows);
  if (result != Result::kOk) return result;
  *exists = rows.count() > 0;
  return Result::kOk;
}

Result PgConnection::RecordParent(CEOID record, CEOID* database) {
  PgParams params;
  params.Int(record);
  PgRows rows;
  Result result = RunRead(kRecordParent, params, &rows);
  if (result != Result::kOk) return result;
  if (rows.count() == 0) return Result::kNoRecord;
  *database = static_cast<CEOID>(rows.Int(0, 0));
  return Result::kOk;
}

Result PgConnection::ReadDatabaseRows(int id, const PgParams& params, DatabaseSink* sink) {
  PgRows rows;
  Result result = RunRead(id, params, &rows);
  if (result != Result::kOk) return result;
  for (int i = 0; i < rows.count(); ++i) {
    DatabaseRow row;
    row.oid = static_cast<CEOID>(rows.Int(i, 0));
    row.name = rows.String(i, 1);
    row.type = static_cast<DWORD>(rows.Int(i, 2));
    row.flags = static_cast<DWORD>(rows.Int(i, 3));
    row.sorts = rows.String(i, 4);
    row.modified = rows.Int(i, 5);
    row.records = rows.Int(i, 6);
    row.size = rows.Int(i, 7);
    sink->Add(std::move(row));
  }
  return Result::kOk;
}

Result PgConnection::DatabaseByName(const std::string& name, DatabaseSink* sink) {
  PgParams params;
  params.Bytes(name);
  return ReadDatabaseRows(kDatabaseRowByName, params, sink);
}

Result PgConnection::DatabaseByOid(CEOID database, DatabaseSink* sink) {
  PgParams params;
  params.Int(database);
  return ReadDatabaseRows(kDatabaseRowByOid, params, sink);
}

Result PgConnection::DatabasesAfter(CEOID after, DWORD type, int limit, DatabaseSink* sink) {
  PgParams params;
  params.Int(after);
  params.Int(limit);
  if (type != 0) params.Int(type);
  return ReadDatabaseRows(type != 0 ? kDatabasesOfTypeAfter : kDatabasesAfter, params, sink);
}

bool IsServerLocation(const char* location) {
  return location != nullptr &&
         (strncmp(location, "postgresql://", 13) == 0 || strncmp(location, "postgres://", 11) == 0);
}

}  // namespace store
}  // namespace ceplatform
