#include "sqlite_connection.h"

#include "log_line.h"
#include "snapshot_listing.h"
#include "rank_blocks.h"
#include "store_schema.h"
#include "store_vfs.h"

#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <mutex>
#include <new>

namespace ceplatform {
namespace store {
namespace {

const char* const kStatementText[SqliteConnection::kReadFirst] = {
    "BEGIN IMMEDIATE",
    "COMMIT",
    "ROLLBACK",
    "SAVEPOINT write",
    "RELEASE write",
    "ROLLBACK TO write",
    // Identifiers stop at 0xFFFFFFFF: past it no row is updated.
    "UPDATE meta SET value = value + 1"
    " WHERE key = 'next_oid' AND value BETWEEN 1 AND 4294967295 RETURNING value - 1",
    "SELECT oid, name, type, flags, sorts, modified, records, size FROM databases ORDER BY oid",
    "SELECT oid, name, type, flags, sorts, modified, records, size FROM databases"
    " WHERE name = ?1",
    "SELECT oid, name, type, flags, sorts, modified, records, size FROM databases"
    " WHERE oid = ?1",
    "SELECT oid, name, type, flags, sorts, modified, records, size FROM databases"
    " WHERE oid > ?1 ORDER BY oid LIMIT ?2",
    "SELECT oid, name, type, flags, sorts, modified, records, size FROM databases"
    " WHERE type = ?3 AND oid > ?1 ORDER BY oid LIMIT ?2",
    "SELECT 1 FROM databases WHERE oid = ?1",
    "INSERT INTO databases(oid, name, type, flags, sorts, modified)"
    " VALUES(?1, ?2, ?3, ?4, ?5, ?6)",
    "UPDATE databases SET modified = ?2 WHERE oid = ?1",
    "DELETE FROM databases WHERE oid = ?1",
    "DELETE FROM records WHERE db = ?1",
    "SELECT db FROM records WHERE oid = ?1",
    "SELECT props FROM records WHERE oid = ?1 AND db = ?2",
    "INSERT INTO records(oid, db, k0, k1, k2, k3, props) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)",
    "UPDATE records SET k0 = ?3, k1 = ?4, k2 = ?5, k3 = ?6, props = ?7"
    " WHERE oid = ?1 AND db = ?2",
    "DELETE FROM records WHERE oid = ?1 AND db = ?2",
};

// The text of a read statement. Every read from the top or after a record
// names ?1 to ?3, so all of them bind alike, and ?4: how many records to
// return; a read from a position takes ?1 to ?3 (rank_blocks.h).
std::string ReadText(int index) {
  if (index >= SqliteConnection::kReadAtFirst - SqliteConnection::kReadFirst) {
    index -= SqliteConnection::kReadAtFirst - SqliteConnection::kReadFirst;
    return ReadAtSql(Dialect::kSqlite, index / 2, (index & 1) != 0);
  }
  int order = index / 4;
  bool descending = (index & 2) != 0;
  bool after = (index & 1) != 0;
  if (order == kCreationOrder) {
    return std::string("SELECT oid, NULL, props FROM records WHERE db = ?1") +
           (after ? " AND oid > ?3" : " AND ?3 IS ?3") + " ORDER BY oid LIMIT ?4";
  }
  std::string k = "k" + std::to_string(order);
  // The key index holds only the records that have the key.
  std::string text = "SELECT oid, " + k + ", props FROM records WHERE db = ?1 AND " + k +
                     " IS NOT NULL";
  if (after) {
    text += " AND (" + k + ", oid) " + (descending ? "<" : ">") + " (?2, ?3)";
  } else {
    text += " AND ?3 IS ?3";
  }
  const char* direction = descending ? " DESC" : "";
  text += " ORDER BY " + k + direction + ", oid" + direction + " LIMIT ?4";
  return text;
}

void SleepBriefly(int attempt) {
  struct timespec pause = {0, (attempt + 1) * 20 * 1000 * 1000L};
  nanosleep(&pause, nullptr);
}

// A statement of its own, finalized when the scope ends: the statements run
// once per open or per tool call are not kept.
class OneStatement {
 public:
  OneStatement(sqlite3* db, const char* text) {
    rc_ = sqlite3_prepare_v2(db, text, -1, &statement_, nullptr);
  }
  ~OneStatement() { sqlite3_finalize(statement_); }
  OneStatement(const OneStatement&) = delete;
  OneStatement& operator=(const OneStatement&) = delete;
  sqlite3_stmt* get() const { return statement_; }
  int rc() const { return rc_; }

 private:
  sqlite3_stmt* statement_ = nullptr;
  int rc_;
};

int ExecText(sqlite3* db, const char* sql) {
  for (int attempt = 0;; ++attempt) {
    int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    if ((rc & 0xFF) != SQLITE_BUSY || attempt == kBusyRetries) return rc;
    SleepBriefly(attempt);
  }
}

// Steps a statement, trying again while the file stays locked beyond the
// busy timeout.
int Step(sqlite3_stmt* statement) {
  for (int attempt = 0;; ++attempt) {
    int rc = sqlite3_step(statement);
    if ((rc & 0xFF) != SQLITE_BUSY || attempt == kBusyRetries) return rc;
    sqlite3_reset(statement);
    SleepBriefly(attempt);
  }
}

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

const uint8_t* ColumnBytes(sqlite3_stmt* row, int column, size_t* size) {
  const void* bytes = sqlite3_column_blob(row, column);
  int count = sqlite3_column_bytes(row, column);
  *size = bytes != nullptr && count > 0 ? static_cast<size_t>(count) : 0;
  return static_cast<const uint8_t*>(bytes);
}

std::string ColumnString(sqlite3_stmt* row, int column) {
  size_t size = 0;
  const uint8_t* bytes = ColumnBytes(row, column, &size);
  return size > 0 ? std::string(reinterpret_cast<const char*>(bytes), size) : std::string();
}

// Reads the databases table's row that `statement` (the columns of
// kAllDatabases, in order) stands on into the store's row or a snapshot's.
template <class Row>
void DatabaseColumns(sqlite3_stmt* statement, Row* row) {
  row->oid = static_cast<decltype(row->oid)>(sqlite3_column_int64(statement, 0));
  row->name = ColumnString(statement, 1);
  row->type = static_cast<decltype(row->type)>(sqlite3_column_int64(statement, 2));
  row->flags = static_cast<decltype(row->flags)>(sqlite3_column_int64(statement, 3));
  row->sorts = ColumnString(statement, 4);
  row->modified = sqlite3_column_int64(statement, 5);
  row->records = sqlite3_column_int64(statement, 6);
  row->size = sqlite3_column_int64(statement, 7);
}

// A failure of the transaction body that is no SQLite failure.
constexpr int kBodyResult = -1;

// Every record write runs the trigger programs that keep the counted
// blocks, and SQLite allocates their frames (about 240 KiB a post) for the
// statement and frees them at its end. With glibc's defaults the free space
// at the top of the heap then passes 128 KiB and goes back to the kernel,
// to be taken again by the next statement: on a virtual machine, where
// every unmapping flushes the TLB through the hypervisor, that was 40% of
// an insert's processor time (420 us of CPU instead of 265, and tvxhost's
// processor time a post under 8 posters from about 420 us to 250).
// So the process keeps up to 4 MiB free at the top of each arena, and
// blocks up to 1 MiB come from the heap rather than from mmap (setting one
// threshold stops glibc from moving the other by itself). The environment's
// MALLOC_TRIM_THRESHOLD_ or MALLOC_MMAP_THRESHOLD_ still have the last word.
// Larger blocks stay mapped, so that one growing a little at a time grows
// without a copy; the platform's heap keeps one of them for the next large
// request (heap.cc).
void KeepStatementMemory() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (getenv("MALLOC_TRIM_THRESHOLD_") != nullptr ||
        getenv("MALLOC_MMAP_THRESHOLD_") != nullptr) {
      return;
    }
    mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 4 * 1024 * 1024);
  });
}

}  // namespace

Result SqliteConnection::Open(const std::string& path, uint64_t generation, Connection** out,
                              std::string* message, bool create) {
  KeepStatementMemory();
  sqlite3* db = nullptr;
  int flags = create ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
  int rc = sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, StoreVfsName());
  if (rc != SQLITE_OK) {
    *message = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close(db);
    return rc == SQLITE_NOMEM ? Result::kNoMemory : Result::kFault;
  }
  SqliteConnection* connection = new (std::nothrow) SqliteConnection(db, generation);
  if (connection == nullptr) {
    sqlite3_close(db);
    return Result::kNoMemory;
  }
  if (create) {
    rc = connection->Configure();
  } else {
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
  }
  if (rc == SQLITE_OK) rc = connection->EnsureSchema(create);
  if (rc != SQLITE_OK) {
    Result result = connection->Failure(rc);
    *message = connection->LastMessage();
    delete connection;
    return result;
  }
  *out = connection;
  return Result::kOk;
}

SqliteConnection::~SqliteConnection() {
  for (sqlite3_stmt* statement : statements_) sqlite3_finalize(statement);
  sqlite3_close(db_);
}

int SqliteConnection::Configure() {
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  // WAL lets readers go on while one process writes. With synchronous=FULL
  // every commit syncs the log, so a record is on disk when its write
  // returns, even across a power loss.
  int rc = ExecText(db_, "PRAGMA journal_mode=WAL");
  if (rc == SQLITE_OK) rc = ExecText(db_, "PRAGMA synchronous=FULL");
  return rc;
}

// The format of the store in the file: 0 for a file without one.
int SqliteConnection::ReadFormat(int* format) {
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db_, "SELECT value FROM meta WHERE key = 'schema'", -1,
                              &statement, nullptr);
  *format = 0;
  if (rc == SQLITE_OK) {
    rc = Step(statement);
    if (rc == SQLITE_ROW) *format = sqlite3_column_int(statement, 0);
    rc = (rc == SQLITE_ROW || rc == SQLITE_DONE) ? SQLITE_OK : rc;
  } else if (sqlite3_errcode(db_) == SQLITE_ERROR) {
    rc = SQLITE_OK;  // no table yet: a new file
  }
  sqlite3_finalize(statement);
  return rc;
}

int SqliteConnection::EnsureSchema(bool create) {
  int format = 0;
  int rc = ReadFormat(&format);
  if (rc != SQLITE_OK) return rc;
  if (format == kStoreFormat) return create ? RenewBlockTriggers() : SQLITE_OK;
  if (format > kStoreFormat) return SQLITE_CANTOPEN;  // a newer format
  if (!create) {
    // Read as it is; no store in this file, and none to be made.
    return format >= kOldestReadableFormat ? SQLITE_OK : SQLITE_NOTADB;
  }
  // Several processes may find a new or older file at once; the IMMEDIATE
  // transaction makes one of them bring it up to date and the others see it
  // done.
  rc = ExecText(db_, "BEGIN IMMEDIATE");
  if (rc != SQLITE_OK) return rc;
  rc = ReadFormat(&format);
  if (rc == SQLITE_OK && format == 0) {
    rc = sqlite3_exec(db_, BaseSchemaSql(Dialect::kSqlite).c_str(), nullptr, nullptr, nullptr);
    format = 1;
  }
  if (rc == SQLITE_OK && format < 2) {
    rc = sqlite3_exec(db_, UpgradeToBlocksSql(Dialect::kSqlite).c_str(), nullptr, nullptr,
                      nullptr);
  }
  if (rc == SQLITE_OK && format < 3) {
    rc = sqlite3_exec(db_, UpgradeToCountsSql(Dialect::kSqlite).c_str(), nullptr, nullptr,
                      nullptr);
  }
  if (rc == SQLITE_OK) rc = ExecText(db_, "COMMIT");
  if (rc != SQLITE_OK) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  return rc;
}

int SqliteConnection::RenewBlockTriggers() {
  std::vector<std::string> triggers;
  try {
    triggers = SqliteRecordBlockTriggers();
  } catch (const std::bad_alloc&) {
    return SQLITE_NOMEM;
  }
  size_t found = 0;
  int rc = CountTriggersAsMade(triggers, &found);
  if (rc != SQLITE_OK || found == triggers.size()) return rc;
  // As with a new store, one process of several puts them anew.
  rc = ExecText(db_, "BEGIN IMMEDIATE");
  if (rc != SQLITE_OK) return rc;
  rc = CountTriggersAsMade(triggers, &found);
  if (rc == SQLITE_OK && found != triggers.size()) {
    try {
      std::string renewal = DropSqliteRecordBlockTriggersSql() + SqliteRecordBlockTriggersSql();
      rc = sqlite3_exec(db_, renewal.c_str(), nullptr, nullptr, nullptr);
    } catch (const std::bad_alloc&) {
      rc = SQLITE_NOMEM;
    }
  }
  if (rc == SQLITE_OK) rc = ExecText(db_, "COMMIT");
  if (rc != SQLITE_OK) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  return rc;
}

int SqliteConnection::CountTriggersAsMade(const std::vector<std::string>& triggers,
                                          size_t* found) {
  *found = 0;
  OneStatement lookup(db_, "SELECT 1 FROM sqlite_master WHERE type = 'trigger' AND sql = ?1");
  int rc = lookup.rc();
  for (size_t i = 0; rc == SQLITE_OK && i < triggers.size(); ++i) {
    sqlite3_bind_text(lookup.get(), 1, triggers[i].data(), static_cast<int>(triggers[i].size()),
                      SQLITE_STATIC);
    rc = Step(lookup.get());
    if (rc == SQLITE_ROW) ++*found;
    rc = (rc == SQLITE_ROW || rc == SQLITE_DONE) ? SQLITE_OK : rc;
    sqlite3_reset(lookup.get());
  }
  return rc;
}

sqlite3_stmt* SqliteConnection::Statement(StatementId id, int* rc) {
  sqlite3_stmt*& slot = statements_[id];
  if (slot != nullptr) return slot;
  std::string read_text;
  if (id >= kReadFirst) {
    try {
      read_text = ReadText(id - kReadFirst);
    } catch (...) {
      *rc = SQLITE_NOMEM;
      return nullptr;
    }
  }
  const char* text = id >= kReadFirst ? read_text.c_str() : kStatementText[id];
  *rc = sqlite3_prepare_v3(db_, text, -1, SQLITE_PREPARE_PERSISTENT, &slot, nullptr);
  if (*rc != SQLITE_OK) {
    LogLine("store: cannot prepare \"%s\": %s", text, sqlite3_errmsg(db_));
    sqlite3_finalize(slot);
    slot = nullptr;
  }
  return slot;
}

Result SqliteConnection::Failure(int rc) {
  last_rc_ = rc;
  switch (rc & 0xFF) {
    case SQLITE_NOMEM:
      return Result::kNoMemory;
    case SQLITE_FULL:
      return Result::kDiskFull;
    case SQLITE_TOOBIG:
      return Result::kTooBig;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return Result::kCorrupt;
    case SQLITE_BUSY:
      // Still locked by another process after the busy timeout and the
      // retries: nothing was written, and a later call may well get through.
      return Result::kTimeout;
    default:
      return Result::kFault;
  }
}

std::string SqliteConnection::LastMessage() {
  if (!snapshot_message_.empty()) return snapshot_message_;
  std::string message = sqlite3_errmsg(db_);
  if (last_rc_ != SQLITE_OK && message == "not an error") message = sqlite3_errstr(last_rc_);
  return message + " (" + std::to_string(last_rc_) + ")";
}

int SqliteConnection::Exec(StatementId id) {
  int rc = SQLITE_OK;
  sqlite3_stmt* statement = Statement(id, &rc);
  if (statement == nullptr) return rc;
  StatementScope scope(statement);
  rc = Step(statement);
  return rc == SQLITE_DONE || rc == SQLITE_ROW ? SQLITE_OK : rc;
}

// SQLITE_DONE when the 32-bit space is used up.
int SqliteConnection::NextObjectId(CEOID* oid) {
  int rc = SQLITE_OK;
  sqlite3_stmt* statement = Statement(kNextOid, &rc);
  if (statement == nullptr) return rc;
  StatementScope scope(statement);
  rc = Step(statement);
  if (rc != SQLITE_ROW) return rc;
  *oid = static_cast<CEOID>(sqlite3_column_int64(statement, 0));
  // Finish the statement so that the counter's update is complete.
  rc = Step(statement);
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

int SqliteConnection::TouchDatabase(CEOID database, int64_t now, bool* exists) {
  int rc = SQLITE_OK;
  sqlite3_stmt* statement = Statement(kTouchDatabase, &rc);
  if (statement == nullptr) return rc;
  StatementScope scope(statement);
  sqlite3_bind_int64(statement, 1, database);
  sqlite3_bind_int64(statement, 2, now);
  rc = Step(statement);
  if (rc != SQLITE_DONE) return rc;
  *exists = sqlite3_changes(db_) > 0;
  return SQLITE_OK;
}

// SQLITE_ROW when a database has the name, SQLITE_DONE when none has.
int SqliteConnection::FindDatabaseByName(const std::string& name) {
  int rc = SQLITE_OK;
  sqlite3_stmt* statement = Statement(kDatabaseRowByName, &rc);
  if (statement == nullptr) return rc;
  StatementScope scope(statement);
  sqlite3_bind_blob(statement, 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
  return Step(statement);
}

namespace {

// Runs a transaction's body: an SQLite code, or kBodyResult with *result
// set. A body that runs out of memory leaves its statements reset (their
// scopes) and the transaction to be undone.
template <typename Body>
int RunBody(Body& body, Result* result) {
  try {
    return body(result);
  } catch (const std::bad_alloc&) {
    return SQLITE_NOMEM;
  }
}

}  // namespace

template <typename Body>
Result SqliteConnection::InTransaction(Body body) {
  // In a group, the write is a savepoint inside the group's transaction.
  bool nested = group_;
  if (nested && sqlite3_get_autocommit(db_)) return Failure(SQLITE_ABORT);  // the group was undone
  int rc = Exec(nested ? kSavepoint : kBegin);
  if (rc != SQLITE_OK) return Failure(rc);
  Result result = Result::kOk;
  rc = RunBody(body, &result);
  if (rc == SQLITE_OK) {
    rc = Exec(nested ? kRelease : kCommit);
    if (rc == SQLITE_OK) return Result::kOk;
  }
  if (rc != kBodyResult) result = Failure(rc);
  // SQLite ends the transaction itself after some failures (a full disk, an
  // I/O error); a ROLLBACK then would only replace the failure's message,
  // which the caller is about to log, with its own. In a group only this
  // write is undone, unless even that fails: then the group goes.
  if (!sqlite3_get_autocommit(db_)) {
    int undone = nested ? Exec(kRollbackTo) : Exec(kRollback);
    if (nested && undone == SQLITE_OK) undone = Exec(kRelease);
    if (undone != SQLITE_OK && !sqlite3_get_autocommit(db_)) Exec(kRollback);
  }
  return result;
}

Result SqliteConnection::BeginGroup() {
  group_ = false;
  int rc = Exec(kBegin);
  if (rc != SQLITE_OK) return Failure(rc);
  group_ = true;
  return Result::kOk;
}

bool SqliteConnection::GroupOpen() { return group_ && !sqlite3_get_autocommit(db_); }

Result SqliteConnection::EndGroup(bool commit) {
  bool open = GroupOpen();
  group_ = false;
  if (!commit) {
    if (open) Exec(kRollback);
    return Result::kOk;
  }
  if (!open) return Failure(SQLITE_ABORT);
  int rc = Exec(kCommit);
  if (rc == SQLITE_OK) return Result::kOk;
  Result result = Failure(rc);
  if (!sqlite3_get_autocommit(db_)) Exec(kRollback);
  return result;
}

Result SqliteConnection::CreateDatabase(DatabaseRow* row) {
  return InTransaction([&](Result* result) -> int {
    int rc = FindDatabaseByName(row->name);
    if (rc == SQLITE_ROW) {
      *result = Result::kDuplicate;
      return kBodyResult;
    }
    if (rc != SQLITE_DONE) return rc;
    CEOID oid = 0;
    rc = NextObjectId(&oid);
    if (rc == SQLITE_DONE) {
      *result = Result::kExhausted;
      return kBodyResult;
    }
    if (rc != SQLITE_OK) return rc;
    sqlite3_stmt* insert = Statement(kInsertDatabase, &rc);
    if (insert == nullptr) return rc;
    StatementScope scope(insert);
    sqlite3_bind_int64(insert, 1, oid);
    sqlite3_bind_blob(insert, 2, row->name.data(), static_cast<int>(row->name.size()),
                      SQLITE_STATIC);
    sqlite3_bind_int64(insert, 3, row->type);
    sqlite3_bind_int64(insert, 4, row->flags);
    sqlite3_bind_blob(insert, 5, row->sorts.data(), static_cast<int>(row->sorts.size()),
                      SQLITE_STATIC);
    sqlite3_bind_int64(insert, 6, row->modified);
    rc = Step(insert);
    if (rc != SQLITE_DONE) return rc;
    row->oid = oid;
    return SQLITE_OK;
  });
}

Result SqliteConnection::DeleteDatabase(CEOID database) {
  return InTransaction([&](Result* result) -> int {
    int rc = SQLITE_OK;
    sqlite3_stmt* statement = Statement(kDeleteDatabase, &rc);
    if (statement == nullptr) return rc;
    {
      StatementScope scope(statement);
      sqlite3_bind_int64(statement, 1, database);
      rc = Step(statement);
      if (rc != SQLITE_DONE) return rc;
      if (sqlite3_changes(db_) == 0) {
        *result = Result::kNoDatabase;
        return kBodyResult;
      }
    }
    statement = Statement(kDeleteDatabaseRecords, &rc);
    if (statement == nullptr) return rc;
    StatementScope scope(statement);
    sqlite3_bind_int64(statement, 1, database);
    rc = Step(statement);
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
  });
}

namespace {

// Binds a record's keys (?3..?6, NULL past the last order) and bytes (?7).
int BindRecord(sqlite3_stmt* statement, const RecordBytes& record) {
  for (int i = 0; i < CEDB_MAXSORTORDER; ++i) {
    if (i < record.key_count) {
      sqlite3_bind_blob64(statement, 3 + i, record.keys[i].data(), record.keys[i].size(),
                          SQLITE_STATIC);
    } else {
      sqlite3_bind_null(statement, 3 + i);
    }
  }
  // SQLITE_TOOBIG for a record past SQLite's limit.
  return sqlite3_bind_blob64(statement, 7, record.props.data(), record.props.size(),
                             SQLITE_STATIC);
}

}  // namespace

Result SqliteConnection::InsertRecord(CEOID database, int64_t now, const RecordBytes& record,
                                      CEOID* written) {
  return InTransaction([&](Result* result) -> int {
    bool exists = false;
    int rc = TouchDatabase(database, now, &exists);
    if (rc != SQLITE_OK) return rc;
    if (!exists) {
      *result = Result::kNoDatabase;
      return kBodyResult;
    }
    CEOID oid = 0;
    rc = NextObjectId(&oid);
    if (rc == SQLITE_DONE) {
      *result = Result::kExhausted;
      return kBodyResult;
    }
    if (rc != SQLITE_OK) return rc;
    sqlite3_stmt* statement = Statement(kInsertRecord, &rc);
    if (statement == nullptr) return rc;
    StatementScope scope(statement);
    sqlite3_bind_int64(statement, 1, oid);
    sqlite3_bind_int64(statement, 2, database);
    rc = BindRecord(statement, record);
    if (rc != SQLITE_OK) return rc;
    rc = Step(statement);
    if (rc != SQLITE_DONE) return rc;
    *written = oid;
    return SQLITE_OK;
  });
}

Result SqliteConnection::UpdateRecord(CEOID database, CEOID record, int64_t now,
                                      const RecordRewrite& rewrite) {
  return InTransaction([&](Result* result) -> int {
    bool exists = false;
    int rc = TouchDatabase(database, now, &exists);
    if (rc != SQLITE_OK) return rc;
    if (!exists) {
      *result = Result::kNoDatabase;
      return kBodyResult;
    }
    RecordBytes rewritten;
    {
      sqlite3_stmt* statement = Statement(kRecordProps, &rc);
      if (statement == nullptr) return rc;
      StatementScope scope(statement);
      sqlite3_bind_int64(statement, 1, record);
      sqlite3_bind_int64(statement, 2, database);
      rc = Step(statement);
      if (rc == SQLITE_DONE) {
        *result = Result::kNoRecord;
        return kBodyResult;
      }
      if (rc != SQLITE_ROW) return rc;
      size_t size = 0;
      const uint8_t* bytes = ColumnBytes(statement, 0, &size);
      *result = rewrite(bytes, size, &rewritten);
      if (*result != Result::kOk) return kBodyResult;
    }
    sqlite3_stmt* statement = Statement(kUpdateRecord, &rc);
    if (statement == nullptr) return rc;
    StatementScope scope(statement);
    sqlite3_bind_int64(statement, 1, record);
    sqlite3_bind_int64(statement, 2, database);
    rc = BindRecord(statement, rewritten);
    if (rc != SQLITE_OK) return rc;
    rc = Step(statement);
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
  });
}

Result SqliteConnection::DeleteRecord(CEOID database, CEOID record, int64_t now) {
  return InTransaction([&](Result* result) -> int {
    bool exists = false;
    int rc = TouchDatabase(database, now, &exists);
    if (rc != SQLITE_OK) return rc;
    if (!exists) {
      *result = Result::kNoDatabase;
      return kBodyResult;
    }
    sqlite3_stmt* statement = Statement(kDeleteRecord, &rc);
    if (statement == nullptr) return rc;
    StatementScope scope(statement);
    sqlite3_bind_int64(statement, 1, record);
    sqlite3_bind_int64(statement, 2, database);
    rc = Step(statement);
    if (rc != SQLITE_DONE) return rc;
    if (sqlite3_changes(db_) == 0) {
      *result = Result::kNoRecord;
      return kBodyResult;
    }
    return SQLITE_OK;
  });
}

Result SqliteConnection::ReadRecords(const ReadQuery& query, RecordSink* sink) {
  int rc = SQLITE_OK;
  bool after = query.start == ReadQuery::Start::kAfter;
  int id = query.start == ReadQuery::Start::kAt
               ? kReadAtFirst + query.order * 2 + (query.descending ? 1 : 0)
               : kReadFirst + query.order * 4 + (query.descending ? 2 : 0) + (after ? 1 : 0);
  sqlite3_stmt* statement = Statement(static_cast<StatementId>(id), &rc);
  if (statement == nullptr) return Failure(rc);
  StatementScope scope(statement);
  sqlite3_bind_int64(statement, 1, query.database);
  if (query.start == ReadQuery::Start::kAt) {
    sqlite3_bind_int64(statement, 2, query.position);
    sqlite3_bind_int(statement, 3, query.limit);
  } else {
    if (after) {
      sqlite3_bind_blob64(statement, 2, query.key->data(), query.key->size(), SQLITE_STATIC);
      sqlite3_bind_int64(statement, 3, query.oid);
    }
    sqlite3_bind_int(statement, 4, query.limit);
  }
  while ((rc = Step(statement)) == SQLITE_ROW) {
    size_t key_size = 0, props_size = 0;
    const uint8_t* key = ColumnBytes(statement, 1, &key_size);
    const uint8_t* props = ColumnBytes(statement, 2, &props_size);
    if (!sink->Add(static_cast<CEOID>(sqlite3_column_int64(statement, 0)), key, key_size,
                   props, props_size)) {
      return Result::kOk;
    }
  }
  return rc == SQLITE_DONE ? Result::kOk : Failure(rc);
}

Result SqliteConnection::DatabaseExists(CEOID database, bool* exists) {
  int rc = SQLITE_OK;
  sqlite3_stmt* statement = Statement(kDatabaseExists, &rc);
  if (statement == nullptr) return Failure(rc);
  StatementScope scope(statement);
  sqlite3_bind_int64(statement, 1, database);
  rc = Step(statement);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return Failure(rc);
  *exists = rc == SQLITE_ROW;
  return Result::kOk;
}

Result SqliteConnection::RecordParent(CEOID record, CEOID* database) {
  int rc = SQLITE_OK;
  sqlite3_stmt* statement = Statement(kRecordParent, &rc);
  if (statement == nullptr) return Failure(rc);
  StatementScope scope(statement);
  sqlite3_bind_int64(statement, 1, record);
  rc = Step(statement);
  if (rc == SQLITE_DONE) return Result::kNoRecord;
  if (rc != SQLITE_ROW) return Failure(rc);
  *database = static_cast<CEOID>(sqlite3_column_int64(statement, 0));
  return Result::kOk;
}

Result SqliteConnection::DatabaseRows(sqlite3_stmt* statement, DatabaseSink* sink) {
  int rc;
  while ((rc = Step(statement)) == SQLITE_ROW) {
    DatabaseRow row;
    DatabaseColumns(statement, &row);
    sink->Add(std::move(row));
  }
  return rc == SQLITE_DONE ? Result::kOk : Failure(rc);
}

Result SqliteConnection::DatabaseByName(const std::string& name, DatabaseSink* sink) {
  int rc = SQLITE_OK;
  sqlite3_stmt* statement = Statement(kDatabaseRowByName, &rc);
  if (statement == nullptr) return Failure(rc);
  StatementScope scope(statement);
  sqlite3_bind_blob64(statement, 1, name.data(), name.size(), SQLITE_STATIC);
  return DatabaseRows(statement, sink);
}

Result SqliteConnection::DatabaseByOid(CEOID database, DatabaseSink* sink) {
  int rc = SQLITE_OK;
  sqlite3_stmt* statement = Statement(kDatabaseRowByOid, &rc);
  if (statement == nullptr) return Failure(rc);
  StatementScope scope(statement);
  sqlite3_bind_int64(statement, 1, database);
  return DatabaseRows(statement, sink);
}

Result SqliteConnection::DatabasesAfter(CEOID after, DWORD type, int limit,
                                        DatabaseSink* sink) {
  int rc = SQLITE_OK;
  sqlite3_stmt* statement = Statement(type != 0 ? kDatabasesOfTypeAfter : kDatabasesAfter, &rc);
  if (statement == nullptr) return Failure(rc);
  StatementScope scope(statement);
  sqlite3_bind_int64(statement, 1, after);
  sqlite3_bind_int(statement, 2, limit);
  if (type != 0) sqlite3_bind_int64(statement, 3, type);
  return DatabaseRows(statement, sink);
}

void SqliteConnection::BeforeClose() {
  // Checkpoints the log into the file and truncates it.
  sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
}


// ---- Whole stores ---------------------------------------------------------------

namespace {

// The first identifier the counter may give after everything written: one
// past the highest, and never below the counter that was fed.
uint64_t CounterAfter(uint64_t fed, uint64_t highest) {
  return fed > highest ? fed : highest + 1;
}

// Hands the records of one statement (the columns of AllRecordsSql; ?1, when
// it has one, bound to `database`) to `sink`, one row at a time; *count: how
// many, when asked.
int StepRecords(sqlite3* db, const std::string& sql, uint32_t database, SnapshotSink* sink,
                bool* go_on, int64_t* count) {
  OneStatement records(db, sql.c_str());
  int rc = records.rc();
  if (rc != SQLITE_OK) return rc;
  sqlite3_stmt* s = records.get();
  if (sqlite3_bind_parameter_count(s) > 0) sqlite3_bind_int64(s, 1, database);
  int64_t handed = 0;
  while (*go_on && (rc = Step(s)) == SQLITE_ROW) {
    SnapshotRecord row;
    row.oid = static_cast<uint32_t>(sqlite3_column_int64(s, 0));
    row.database = static_cast<uint32_t>(sqlite3_column_int64(s, 1));
    // Keys are present up to the first absent one.
    for (int i = 0; i < CEDB_MAXSORTORDER && sqlite3_column_type(s, 2 + i) != SQLITE_NULL; ++i) {
      row.keys[i] = ColumnString(s, 2 + i);
      row.key_count = static_cast<uint16_t>(i + 1);
    }
    row.props = ColumnString(s, 6);
    *go_on = sink->Record(row);
    ++handed;
  }
  if (count != nullptr) *count = handed;
  return rc == SQLITE_DONE || rc == SQLITE_ROW ? SQLITE_OK : rc;
}

// Hands the records of each listed database to `sink` in turn.
int ListRecords(sqlite3* db, const std::vector<DatabaseListing>& listings, SnapshotSink* sink,
                bool* go_on) {
  const std::string parameter = "?1";
  for (const DatabaseListing& listing : listings) {
    int64_t read = 0;
    int rc = StepRecords(db, ListingSql(listing, parameter), listing.database, sink, go_on, &read);
    if (rc == SQLITE_OK && *go_on && ListsUnkeyed(listing, read)) {
      rc = StepRecords(db, UnkeyedSql(listing, parameter), listing.database, sink, go_on, nullptr);
    }
    if (rc != SQLITE_OK || !*go_on) return rc;
  }
  return SQLITE_OK;
}

}  // namespace

Result SqliteConnection::ReadSnapshot(SnapshotSink* sink, SnapshotOrder order) {
  // A deferred transaction's snapshot begins with its first read; every
  // query after it sees the same file, whatever other processes commit.
  snapshot_message_.clear();
  int rc = ExecText(db_, "BEGIN");
  if (rc != SQLITE_OK) return Failure(rc);
  Result result = Result::kOk;
  bool go_on = true;
  std::vector<DatabaseListing> listings;
  {
    OneStatement databases(db_, kStatementText[kAllDatabases]);
    rc = databases.rc();
    while (rc == SQLITE_OK && go_on && (rc = Step(databases.get())) == SQLITE_ROW) {
      SnapshotDatabase row;
      DatabaseColumns(databases.get(), &row);
      go_on = sink->Database(row);
      if (go_on && order == SnapshotOrder::kDatabase && sink->WantsRecords(row)) {
        listings.push_back(ListingOf(row));
      }
      rc = SQLITE_OK;
    }
    if (rc == SQLITE_DONE) rc = SQLITE_OK;
  }
  if (rc == SQLITE_OK && go_on) {
    if (order == SnapshotOrder::kDatabase) {
      rc = ListRecords(db_, listings, sink, &go_on);
    } else {
      rc = StepRecords(db_, AllRecordsSql(), 0, sink, &go_on, nullptr);
    }
  }
  if (rc == SQLITE_OK && go_on) {
    OneStatement counter(db_, "SELECT value FROM meta WHERE key = 'next_oid'");
    rc = counter.rc();
    if (rc == SQLITE_OK) rc = Step(counter.get());
    if (rc == SQLITE_ROW) {
      go_on = sink->Counter(static_cast<uint64_t>(sqlite3_column_int64(counter.get(), 0)));
      rc = SQLITE_OK;
    } else if (rc == SQLITE_DONE) {
      rc = SQLITE_CORRUPT;  // a store without its counter
    }
  }
  if (rc != SQLITE_OK) result = Failure(rc);
  std::string kept = result != Result::kOk ? LastMessage() : std::string();
  if (!sqlite3_get_autocommit(db_)) ExecText(db_, "COMMIT");
  if (result != Result::kOk) snapshot_message_ = kept;
  return result;
}

Result SqliteConnection::CountContent(bool* empty) {
  OneStatement count(db_,
                     "SELECT (SELECT count(*) FROM databases) + (SELECT count(*) FROM records)");
  int rc = count.rc();
  if (rc == SQLITE_OK) rc = Step(count.get());
  if (rc != SQLITE_ROW) return Failure(rc);
  *empty = sqlite3_column_int64(count.get(), 0) == 0;
  return Result::kOk;
}

namespace {

// Inserts what a snapshot hands it, inside the writer's transaction.
class SqliteInserter : public SnapshotSink {
 public:
  explicit SqliteInserter(sqlite3* db)
      : database_(db,
                  "INSERT INTO databases(oid, name, type, flags, sorts, modified)"
                  " VALUES(?1, ?2, ?3, ?4, ?5, ?6)"),
        record_(db,
                "INSERT INTO records(oid, db, k0, k1, k2, k3, props)"
                " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)") {
    rc_ = database_.rc() != SQLITE_OK ? database_.rc() : record_.rc();
  }

  bool Database(const SnapshotDatabase& row) override {
    if (rc_ != SQLITE_OK) return false;
    sqlite3_stmt* s = database_.get();
    sqlite3_bind_int64(s, 1, row.oid);
    sqlite3_bind_blob64(s, 2, row.name.data(), row.name.size(), SQLITE_STATIC);
    sqlite3_bind_int64(s, 3, row.type);
    sqlite3_bind_int64(s, 4, row.flags);
    sqlite3_bind_blob64(s, 5, row.sorts.data(), row.sorts.size(), SQLITE_STATIC);
    sqlite3_bind_int64(s, 6, row.modified);
    return Finish(s, row.oid);
  }

  bool Record(const SnapshotRecord& row) override {
    if (rc_ != SQLITE_OK) return false;
    sqlite3_stmt* s = record_.get();
    sqlite3_bind_int64(s, 1, row.oid);
    sqlite3_bind_int64(s, 2, row.database);
    for (int i = 0; i < CEDB_MAXSORTORDER; ++i) {
      if (i < row.key_count) {
        sqlite3_bind_blob64(s, 3 + i, row.keys[i].data(), row.keys[i].size(), SQLITE_STATIC);
      } else {
        sqlite3_bind_null(s, 3 + i);
      }
    }
    sqlite3_bind_blob64(s, 7, row.props.data(), row.props.size(), SQLITE_STATIC);
    return Finish(s, row.oid);
  }

  bool Counter(uint64_t next_oid) override {
    counter_ = next_oid;
    return rc_ == SQLITE_OK;
  }

  int rc() const { return rc_; }
  uint64_t next_oid() const { return CounterAfter(counter_, highest_); }

 private:
  bool Finish(sqlite3_stmt* s, uint32_t oid) {
    int rc = Step(s);
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    if (rc != SQLITE_DONE) {
      rc_ = rc;
      return false;
    }
    if (oid > highest_) highest_ = oid;
    return true;
  }

  OneStatement database_;
  OneStatement record_;
  int rc_ = SQLITE_OK;
  uint64_t counter_ = 1;
  uint64_t highest_ = 0;
};

}  // namespace

Result SqliteConnection::WriteSnapshot(const std::function<bool(SnapshotSink*)>& feed,
                                       bool replace, bool* not_empty) {
  *not_empty = false;
  snapshot_message_.clear();
  return InTransaction([&](Result* result) -> int {
    bool empty = false;
    Result counted = CountContent(&empty);
    if (counted != Result::kOk) return last_rc_;
    if (!empty && !replace) {
      *not_empty = true;
      *result = Result::kOk;
      return kBodyResult;
    }
    // The records go in without their block triggers; the blocks are made
    // once at the end. (DDL is part of the transaction: a failure brings the
    // triggers back with everything else.)
    std::string bulk = DropSqliteRecordBlockTriggersSql();
    if (!empty) bulk += "DELETE FROM records; DELETE FROM databases;";
    int rc = sqlite3_exec(db_, bulk.c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return rc;
    SqliteInserter inserter(db_);
    if (inserter.rc() != SQLITE_OK) return inserter.rc();
    bool fed = feed(&inserter);
    if (inserter.rc() != SQLITE_OK) return inserter.rc();
    if (!fed) {
      snapshot_message_ = "the source could not be read whole";
      *result = Result::kFault;
      return kBodyResult;
    }
    std::string blocks = RebuildBlocksSql(Dialect::kSqlite) + SqliteRecordBlockTriggersSql();
    rc = sqlite3_exec(db_, blocks.c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return rc;
    OneStatement counter(db_, "UPDATE meta SET value = ?1 WHERE key = 'next_oid'");
    rc = counter.rc();
    if (rc != SQLITE_OK) return rc;
    sqlite3_bind_int64(counter.get(), 1, static_cast<int64_t>(inserter.next_oid()));
    rc = Step(counter.get());
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
  });
}

Result SqliteConnection::CheckIntegrity(std::vector<std::string>* problems) {
  snapshot_message_.clear();
  OneStatement check(db_, "PRAGMA integrity_check");
  int rc = check.rc();
  while (rc == SQLITE_OK && (rc = Step(check.get())) == SQLITE_ROW) {
    std::string line = ColumnString(check.get(), 0);
    if (line != "ok") problems->push_back("SQLite integrity check: " + line);
    rc = SQLITE_OK;
  }
  if (rc != SQLITE_DONE) return Failure(rc);
  OneStatement version(db_, "SELECT value FROM meta WHERE key = 'schema'");
  rc = version.rc();
  if (rc == SQLITE_OK) rc = Step(version.get());
  if (rc == SQLITE_DONE) {
    problems->push_back("the schema version row is missing");
  } else if (rc == SQLITE_ROW) {
    int format = sqlite3_column_int(version.get(), 0);
    if (format < kOldestReadableFormat || format > kStoreFormat) {
      problems->push_back("schema version " + std::to_string(format) + ", expected " +
                          std::to_string(kStoreFormat));
    }
    if (format < 2) return Result::kOk;  // no blocks to check
  } else {
    return Failure(rc);
  }
  for (int order = 0; order <= kCreationOrder; ++order) {
    OneStatement wrong(db_, WrongBlocksSql(Dialect::kSqlite, order).c_str());
    rc = wrong.rc();
    if (rc == SQLITE_OK) rc = Step(wrong.get());
    if (rc != SQLITE_ROW) return Failure(rc);
    long long count = sqlite3_column_int64(wrong.get(), 0);
    if (count != 0) problems->push_back(WrongBlocksProblem(order, count));
  }
  return Result::kOk;
}

Result SqliteConnection::BackupInto(const std::string& path) {
  snapshot_message_.clear();
  sqlite3* copy = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &copy,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                           nullptr);
  if (rc != SQLITE_OK) {
    snapshot_message_ = path + ": " + (copy != nullptr ? sqlite3_errmsg(copy) : sqlite3_errstr(rc));
    sqlite3_close(copy);
    return Result::kFault;
  }
  sqlite3_backup* backup = sqlite3_backup_init(copy, "main", db_, "main");
  if (backup == nullptr) {
    snapshot_message_ = sqlite3_errmsg(copy);
    sqlite3_close(copy);
    return Result::kFault;
  }
  // All pages in one step: one read transaction on the source, so the copy
  // is the store as one commit left it. A step that finds the source busy
  // is tried again from the start.
  for (int attempt = 0;; ++attempt) {
    rc = sqlite3_backup_step(backup, -1);
    if ((rc != SQLITE_BUSY && rc != SQLITE_LOCKED) || attempt == kBusyRetries) break;
    SleepBriefly(attempt);
  }
  int finished = sqlite3_backup_finish(backup);
  if (rc == SQLITE_DONE) rc = finished;
  if (rc == SQLITE_OK || rc == SQLITE_DONE) {
    // The copy is one file of its own: no log beside it, synced.
    rc = sqlite3_exec(copy, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr);
  }
  if (rc != SQLITE_OK) {
    snapshot_message_ = std::string("backup: ") + sqlite3_errmsg(copy);
    sqlite3_close(copy);
    return Failure(rc);
  }
  rc = sqlite3_close(copy);
  return rc == SQLITE_OK ? Result::kOk : Failure(rc);
}

}  // namespace store
}  // namespace ceplatform
