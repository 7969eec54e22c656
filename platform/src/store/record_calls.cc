// The record-level calls of the store: write, read, delete.
#include <string.h>

#include <new>
#include <vector>

#include "record_format.h"
#include "store_call.h"

namespace ceplatform {
namespace store {
namespace {

// After a read found nothing: the end of the database, or the database is
// gone. Returns the last-error code for the read.
DWORD EndOfReadError(Connection* connection, CEOID database) {
  int rc = SQLITE_OK;
  sqlite3_stmt* statement = connection->Statement(kDatabaseExists, &rc);
  if (statement == nullptr) return ReadErrorFromSqlite(rc);
  StatementScope scope(statement);
  sqlite3_bind_int64(statement, 1, database);
  rc = Connection::Step(statement);
  if (rc == SQLITE_ROW) return ERROR_NO_MORE_ITEMS;
  if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
  LogSqliteFailure("CeReadRecordProps", connection, rc);
  return ReadErrorFromSqlite(rc);
}

// Reads the records after the handle's position ahead (the caller holds the
// handle's mutex). Returns 0 when at least one record is held, else the
// last-error code: the end, the database gone, or a failure.
DWORD ReadAheadOf(DatabaseHandle* handle) {
  StoreStamp stamp = Store::Instance().Stamp();
  ConnectionLease lease("CeReadRecordProps", ConnectionLease::kRead);
  Connection* connection = lease.get();
  if (connection == nullptr) return lease.error();
  int rc = SQLITE_OK;
  sqlite3_stmt* statement = connection->Statement(
      ReadStatement(handle->order(), handle->descending(), handle->positioned), &rc);
  if (statement == nullptr) return ReadErrorFromSqlite(rc);
  StatementScope scope(statement);
  sqlite3_bind_int64(statement, 1, handle->database());
  if (handle->positioned) {
    sqlite3_bind_blob64(statement, 2, handle->last_key.data(), handle->last_key.size(),
                        SQLITE_STATIC);
    sqlite3_bind_int64(statement, 3, handle->last_oid);
  }
  // A handle that does not move on reads the same record again and again.
  sqlite3_bind_int(statement, 4, handle->auto_increment() ? handle->ahead.rows_wanted() : 1);
  rc = handle->ahead.Fill(statement, stamp);
  if (rc != SQLITE_DONE) {
    LogSqliteFailure("CeReadRecordProps", connection, rc);
    return ReadErrorFromSqlite(rc);
  }
  // Records read now are handed out even when a write ends meanwhile.
  if (!handle->ahead.Holding()) return EndOfReadError(connection, handle->database());
  return 0;
}

// The body of a write, inside its transaction.
int WriteRecord(Connection* connection, const DatabaseHandle& database, CEOID record,
                WORD propCount, const CEPROPVAL* values, CEOID* written, DWORD* refusal) {
  bool exists = false;
  int rc = TouchDatabase(connection, database.database(), &exists);
  if (rc != SQLITE_OK) return rc;
  if (!exists) {
    *refusal = ERROR_KEY_DELETED;
    return kRefused;
  }
  std::vector<StoredProperty> properties;
  std::string old;
  CEOID oid = record;
  if (record == 0) {
    rc = NextObjectId(connection, &oid);
    if (rc == SQLITE_DONE) {
      *refusal = ERROR_DISK_FULL;  // every 32-bit identifier has been used
      return kRefused;
    }
    if (rc != SQLITE_OK) return rc;
  } else {
    sqlite3_stmt* statement = connection->Statement(kRecordProps, &rc);
    if (statement == nullptr) return rc;
    StatementScope scope(statement);
    sqlite3_bind_int64(statement, 1, record);
    sqlite3_bind_int64(statement, 2, database.database());
    rc = Connection::Step(statement);
    if (rc == SQLITE_DONE) {
      *refusal = ERROR_INVALID_PARAMETER;  // no such record in this database
      return kRefused;
    }
    if (rc != SQLITE_ROW) return rc;
    const void* bytes = sqlite3_column_blob(statement, 0);
    int size = sqlite3_column_bytes(statement, 0);
    if (size > 0) old.assign(static_cast<const char*>(bytes), static_cast<size_t>(size));
    if (!ParseRecord(reinterpret_cast<const uint8_t*>(old.data()), old.size(), &properties)) {
      return SQLITE_CORRUPT;
    }
  }
  MergeValues(propCount, values, &properties);
  if (properties.size() > 0xFFFF) {  // a read could not report the count
    *refusal = ERROR_INVALID_PARAMETER;
    return kRefused;
  }
  std::string bytes;
  SerializeRecord(properties, &bytes);
  const SortOrders& sorts = database.sorts();
  std::string keys[CEDB_MAXSORTORDER];
  for (WORD i = 0; i < sorts.count; ++i) SortKey(sorts.specs[i], properties, &keys[i]);

  sqlite3_stmt* statement =
      connection->Statement(record == 0 ? kInsertRecord : kUpdateRecord, &rc);
  if (statement == nullptr) return rc;
  StatementScope scope(statement);
  sqlite3_bind_int64(statement, 1, oid);
  sqlite3_bind_int64(statement, 2, database.database());
  for (int i = 0; i < CEDB_MAXSORTORDER; ++i) {
    if (i < sorts.count) {
      sqlite3_bind_blob64(statement, 3 + i, keys[i].data(), keys[i].size(), SQLITE_STATIC);
    } else {
      sqlite3_bind_null(statement, 3 + i);
    }
  }
  rc = sqlite3_bind_blob64(statement, 7, bytes.data(), bytes.size(), SQLITE_STATIC);
  if (rc != SQLITE_OK) return rc;  // SQLITE_TOOBIG for a record past SQLite's limit
  rc = Connection::Step(statement);
  if (rc != SQLITE_DONE) return rc;
  *written = oid;
  return SQLITE_OK;
}

}  // namespace
}  // namespace store
}  // namespace ceplatform

using namespace ceplatform;
using namespace ceplatform::store;

extern "C" {

CEOID CeWriteRecordProps(HANDLE database, CEOID record, WORD propCount, CEPROPVAL* values) {
  DWORD injected;
  if (Store::Instance().TakeFailure(&injected)) return Fail<CEOID>(injected, 0);
  try {
    std::shared_ptr<DatabaseHandle> handle = LookupDatabase(database);
    if (handle == nullptr) return 0;
    DWORD invalid = CheckValues(propCount, values);
    if (invalid != 0) return Fail<CEOID>(invalid, 0);
    ConnectionLease lease("CeWriteRecordProps", ConnectionLease::kWrite);
    Connection* connection = lease.get();
    if (connection == nullptr) return Fail<CEOID>(lease.error(), 0);
    CEOID written = 0;
    DWORD refusal = 0;
    int rc = RunWriteTransaction(connection, [&]() -> int {
      return WriteRecord(connection, *handle, record, propCount, values, &written, &refusal);
    });
    if (rc == kRefused) return Fail<CEOID>(refusal, 0);
    if (rc != SQLITE_OK) {
      LogSqliteFailure("CeWriteRecordProps", connection, rc);
      return Fail<CEOID>(WriteErrorFromSqlite(rc), 0);
    }
    return written;
  } catch (const std::bad_alloc&) {
    return Fail<CEOID>(ERROR_NOT_ENOUGH_MEMORY, 0);
  }
}

CEOID CeReadRecordProps(HANDLE database, DWORD flags, LPWORD propCount, CEPROPID* propIds,
                        LPBYTE* buffer, LPDWORD bufferSize) {
  DWORD injected;
  if (Store::Instance().TakeFailure(&injected)) return Fail<CEOID>(injected, 0);
  try {
    std::shared_ptr<DatabaseHandle> handle = LookupDatabase(database);
    if (handle == nullptr) return 0;
    if (propCount == nullptr || buffer == nullptr || bufferSize == nullptr ||
        (propIds != nullptr && *propCount == 0)) {
      return Fail<CEOID>(ERROR_INVALID_PARAMETER, 0);
    }
    WORD idCount = propIds != nullptr ? *propCount : 0;
    std::lock_guard<std::mutex> lock(handle->mutex);
    if (!handle->ahead.Ready()) {
      DWORD error = ReadAheadOf(handle.get());
      if (error != 0) return Fail<CEOID>(error, 0);
    }
    ReadAhead::Row row = handle->ahead.Front();
    RecordLayout layout(row.props, row.props_size, propIds, idCount);
    if (!layout.Measure()) {
      LogSqliteFailure("CeReadRecordProps", nullptr, SQLITE_CORRUPT);
      return Fail<CEOID>(ERROR_READ_FAULT, 0);
    }
    // Copy the new position before touching the caller's buffer, so that no
    // failure comes after the buffer has changed hands.
    std::string key;
    if (handle->auto_increment()) {
      key.assign(reinterpret_cast<const char*>(row.key), row.key_size);
    }
    size_t needed = layout.needed();
    LPBYTE out = *buffer;
    bool allocate = (flags & CEDB_ALLOWREALLOC) && out == nullptr;
    if (allocate || out == nullptr || *bufferSize < needed) {
      if (!(flags & CEDB_ALLOWREALLOC)) {
        *bufferSize = static_cast<DWORD>(needed);
        return Fail<CEOID>(ERROR_INSUFFICIENT_BUFFER, 0);
      }
      LPBYTE grown = static_cast<LPBYTE>(out == nullptr ? LocalAlloc(LMEM_FIXED, needed)
                                                        : LocalReAlloc(out, needed, 0));
      if (grown == nullptr) return Fail<CEOID>(ERROR_NOT_ENOUGH_MEMORY, 0);
      *buffer = grown;
      *bufferSize = static_cast<DWORD>(needed);
      out = grown;
    }
    layout.Fill(out);
    *propCount = layout.count();
    // Without CEDB_AUTOINCREMENT a read leaves the position where it was.
    if (handle->auto_increment()) {
      handle->last_key.swap(key);
      handle->last_oid = row.oid;
      handle->positioned = true;
      handle->ahead.Pop();
    }
    return row.oid;
  } catch (const std::bad_alloc&) {
    return Fail<CEOID>(ERROR_NOT_ENOUGH_MEMORY, 0);
  }
}

BOOL CeDeleteRecord(HANDLE database, CEOID record) {
  DWORD injected;
  if (Store::Instance().TakeFailure(&injected)) return Fail<BOOL>(injected, FALSE);
  try {
    std::shared_ptr<DatabaseHandle> handle = LookupDatabase(database);
    if (handle == nullptr) return FALSE;
    if (record == 0) return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
    ConnectionLease lease("CeDeleteRecord", ConnectionLease::kWrite);
    Connection* connection = lease.get();
    if (connection == nullptr) return Fail<BOOL>(lease.error(), FALSE);
    DWORD refusal = 0;
    int rc = RunWriteTransaction(connection, [&]() -> int {
      bool exists = false;
      int rc = TouchDatabase(connection, handle->database(), &exists);
      if (rc != SQLITE_OK) return rc;
      if (!exists) {
        refusal = ERROR_KEY_DELETED;
        return kRefused;
      }
      sqlite3_stmt* statement = connection->Statement(kDeleteRecord, &rc);
      if (statement == nullptr) return rc;
      StatementScope scope(statement);
      sqlite3_bind_int64(statement, 1, record);
      sqlite3_bind_int64(statement, 2, handle->database());
      rc = Connection::Step(statement);
      if (rc != SQLITE_DONE) return rc;
      if (sqlite3_changes(connection->handle()) == 0) {
        refusal = ERROR_INVALID_PARAMETER;  // no such record in this database
        return kRefused;
      }
      return SQLITE_OK;
    });
    if (rc == kRefused) return Fail<BOOL>(refusal, FALSE);
    if (rc != SQLITE_OK) {
      LogSqliteFailure("CeDeleteRecord", connection, rc);
      return Fail<BOOL>(WriteErrorFromSqlite(rc), FALSE);
    }
    return TRUE;
  } catch (const std::bad_alloc&) {
    return Fail<BOOL>(ERROR_NOT_ENOUGH_MEMORY, FALSE);
  }
}

}  // extern "C"
