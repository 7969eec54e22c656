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
  bool exists = false;
  Result result = connection->DatabaseExists(database, &exists);
  if (result != Result::kOk) {
    LogStoreFailure("CeReadRecordProps", result, connection->LastMessage());
    return ReadError(result);
  }
  return exists ? ERROR_NO_MORE_ITEMS : ERROR_KEY_DELETED;
}

// Reads the records after the handle's position ahead (the caller holds the
// handle's mutex). Returns 0 when at least one record is held, else the
// last-error code: the end, the database gone, or a failure.
DWORD ReadAheadOf(DatabaseHandle* handle) {
  ReadQuery query;
  query.database = handle->database();
  query.order = handle->order();
  query.descending = handle->descending();
  query.start = handle->positioned ? ReadQuery::Start::kAfter : ReadQuery::Start::kTop;
  query.key = &handle->last_key;
  query.oid = handle->last_oid;
  // At a record rather than after it: identifiers are whole numbers, so the
  // record itself is the first after its key and the identifier just before.
  if (handle->at_last) query.oid += handle->descending() ? 1 : -1;
  // A handle that does not move on reads the same record again and again.
  query.limit = handle->auto_increment() ? handle->ahead.rows_wanted() : 1;
  // The first records of a database another handle read lately need no
  // query; only an empty database needs one, to tell its end from its loss.
  bool shared = handle->ahead.Share(query);
  if (shared && handle->ahead.Holding()) return 0;
  StoreStamp stamp = Store::Instance().Stamp();
  ConnectionLease lease("CeReadRecordProps", ConnectionLease::kRead);
  Connection* connection = lease.get();
  if (connection == nullptr) return lease.error();
  if (!shared) {
    Result result = handle->ahead.Fill(connection, query, stamp);
    if (result != Result::kOk) {
      LogStoreFailure("CeReadRecordProps", result, connection->LastMessage());
      return ReadError(result);
    }
  }
  // Records read now are handed out even when a write ends meanwhile.
  if (!handle->ahead.Holding()) return EndOfReadError(connection, handle->database());
  return 0;
}

// The sort keys and bytes of a record's properties under a database's
// orders.
void Encode(const SortOrders& sorts, const std::vector<StoredProperty>& properties,
            RecordBytes* out) {
  SerializeRecord(properties, &out->props);
  out->key_count = sorts.count;
  for (WORD i = 0; i < sorts.count; ++i) SortKey(sorts.specs[i], properties, &out->keys[i]);
}

// The bytes and keys of a new record. kTooManyProperties when a read could
// not report its count.
Result EncodeNew(const SortOrders& sorts, WORD propCount, const CEPROPVAL* values,
                 RecordBytes* out) {
  std::vector<StoredProperty> properties;
  MergeValues(propCount, values, &properties);
  if (properties.size() > 0xFFFF) return Result::kTooManyProperties;
  Encode(sorts, properties, out);
  return Result::kOk;
}

// Rewrites a record inside its write's transaction.
Result Rewrite(Connection* connection, const DatabaseHandle& database, CEOID record,
               int64_t now, WORD propCount, const CEPROPVAL* values) {
  return connection->UpdateRecord(
      database.database(), record, now,
      [&](const uint8_t* old, size_t size, RecordBytes* out) -> Result {
        std::vector<StoredProperty> properties;
        if (!ParseRecord(old, size, &properties)) return Result::kCorrupt;
        MergeValues(propCount, values, &properties);
        if (properties.size() > 0xFFFF) return Result::kTooManyProperties;
        Encode(database.sorts(), properties, out);
        return Result::kOk;
      });
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
    WriteScope write(WriteKind::kRecords);
    int64_t now = FileTimeNow();
    CEOID written = 0;
    std::string message;
    Result result;
    if (record == 0) {
      // A new record is encoded here, so that the thread writing the group
      // only writes it.
      RecordBytes bytes;
      result = EncodeNew(handle->sorts(), propCount, values, &bytes);
      RecordInsert insert(handle->database(), now, &bytes);
      auto body = [&](Connection* connection) {
        return connection->InsertRecord(insert.database, insert.now, bytes, &insert.written);
      };
      if (result == Result::kOk) result = RunWrite(body, bytes.props.size(), &message, &insert);
      written = insert.written;
    } else {
      auto update = [&](Connection* connection) {
        return Rewrite(connection, *handle, record, now, propCount, values);
      };
      result = RunWrite(update, propCount * sizeof(CEPROPVAL), &message);
      written = record;
    }
    if (result != Result::kOk) {
      return Fail<CEOID>(WriteFailure("CeWriteRecordProps", message, result), 0);
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
    if (handle->ahead.AtTheEnd()) return Fail<CEOID>(ERROR_NO_MORE_ITEMS, 0);
    if (!handle->ahead.Ready()) {
      DWORD error = ReadAheadOf(handle.get());
      if (error != 0) return Fail<CEOID>(error, 0);
    }
    ReadAhead::Row row = handle->ahead.Front();
    RecordLayout layout(row.props, row.props_size, propIds, idCount);
    if (!layout.Measure()) {
      LogStoreFailure("CeReadRecordProps", Result::kCorrupt, "a record");
      return Fail<CEOID>(ERROR_READ_FAULT, 0);
    }
    // Copy the new position before touching the caller's buffer, so that no
    // failure comes after the buffer has changed hands; a key that fits the
    // old one's room is copied afterwards, as that cannot fail.
    std::string key;
    bool keyFits = row.key_size <= handle->last_key.capacity();
    if (handle->auto_increment() && !keyFits) {
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
      if (keyFits) {
        handle->last_key.assign(reinterpret_cast<const char*>(row.key), row.key_size);
      } else {
        handle->last_key.swap(key);
      }
      handle->last_oid = row.oid;
      handle->positioned = true;
      handle->at_last = false;
      handle->ahead.Pop();
    }
    return row.oid;
  } catch (const std::bad_alloc&) {
    return Fail<CEOID>(ERROR_NOT_ENOUGH_MEMORY, 0);
  }
}

CEOID CeSeekDatabase(HANDLE database, DWORD seekType, DWORD value, LPDWORD index) {
  DWORD injected;
  if (Store::Instance().TakeFailure(&injected)) return Fail<CEOID>(injected, 0);
  try {
    std::shared_ptr<DatabaseHandle> handle = LookupDatabase(database);
    if (handle == nullptr) return 0;
    if (seekType != CEDB_SEEK_BEGINNING) return Fail<CEOID>(ERROR_NOT_SUPPORTED, 0);
    std::lock_guard<std::mutex> lock(handle->mutex);
    ReadQuery query;
    query.database = handle->database();
    query.order = handle->order();
    query.descending = handle->descending();
    query.start = ReadQuery::Start::kAt;
    query.position = value;
    // The records from the one sought on are read with it: the reads that
    // follow a seek need no query of their own.
    query.limit = handle->auto_increment() ? handle->ahead.rows_wanted() : 1;
    // The same page of the same database sought by another handle lately
    // needs no query.
    if (!handle->ahead.Share(query) || !handle->ahead.Holding()) {
      StoreStamp stamp = Store::Instance().Stamp();
      ConnectionLease lease("CeSeekDatabase", ConnectionLease::kRead);
      Connection* connection = lease.get();
      if (connection == nullptr) return Fail<CEOID>(lease.error(), 0);
      Result result = handle->ahead.Fill(connection, query, stamp);
      if (result != Result::kOk) {
        LogStoreFailure("CeSeekDatabase", result, connection->LastMessage());
        return Fail<CEOID>(ReadError(result), 0);
      }
      // Past the last record (or the database gone): the position stays.
      if (!handle->ahead.Holding()) {
        return Fail<CEOID>(EndOfReadError(connection, handle->database()), 0);
      }
    }
    ReadAhead::Row row = handle->ahead.Front();
    std::string key;
    try {
      key.assign(reinterpret_cast<const char*>(row.key), row.key_size);
    } catch (const std::bad_alloc&) {
      handle->ahead.Clear();  // nothing read ahead of a position that did not move
      return Fail<CEOID>(ERROR_NOT_ENOUGH_MEMORY, 0);
    }
    handle->last_key.swap(key);
    handle->last_oid = row.oid;
    handle->positioned = true;
    handle->at_last = true;
    if (index != nullptr) *index = value;
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
    WriteScope write(WriteKind::kRecords);
    int64_t now = FileTimeNow();
    auto deletion = [&](Connection* connection) {
      return connection->DeleteRecord(handle->database(), record, now);
    };
    std::string message;
    Result result = RunWrite(deletion, 0, &message);
    if (result != Result::kOk) {
      return Fail<BOOL>(WriteFailure("CeDeleteRecord", message, result), FALSE);
    }
    return TRUE;
  } catch (const std::bad_alloc&) {
    return Fail<BOOL>(ERROR_NOT_ENOUGH_MEMORY, FALSE);
  }
}

}  // extern "C"
