// The database-level calls of the store: create, open, delete, enumerate,
// describe.
#include <string.h>

#include <new>

#include "record_format.h"
#include "store_call.h"

namespace ceplatform {
namespace store {
namespace {

// Reads one row of a database lookup (oid, sorts). SQLITE_ROW, SQLITE_DONE or
// a failure.
int FindDatabase(Connection* connection, CEOID oid, const WCHAR* name, size_t units,
                 CEOID* found, SortOrders* sorts) {
  int rc = SQLITE_OK;
  sqlite3_stmt* statement =
      connection->Statement(oid != 0 ? kDatabaseById : kDatabaseByName, &rc);
  if (statement == nullptr) return rc;
  StatementScope scope(statement);
  if (oid != 0) {
    sqlite3_bind_int64(statement, 1, oid);
  } else {
    sqlite3_bind_blob(statement, 1, name, static_cast<int>(units * sizeof(WCHAR)),
                      SQLITE_STATIC);
  }
  rc = Connection::Step(statement);
  if (rc != SQLITE_ROW) return rc;
  *found = static_cast<CEOID>(sqlite3_column_int64(statement, 0));
  if (!sorts->Decode(sqlite3_column_blob(statement, 1), sqlite3_column_bytes(statement, 1))) {
    return SQLITE_CORRUPT;
  }
  return SQLITE_ROW;
}

// Fills a CEDBASEINFO from a row of kDatabaseInfo.
bool FillDatabaseInfo(sqlite3_stmt* row, CEDBASEINFO* info) {
  memset(info, 0, sizeof(*info));
  const void* name = sqlite3_column_blob(row, 0);
  int nameBytes = sqlite3_column_bytes(row, 0);
  SortOrders sorts;
  if (nameBytes <= 0 || nameBytes % 2 != 0 ||
      nameBytes >= static_cast<int>(sizeof(info->szDbaseName)) ||
      !sorts.Decode(sqlite3_column_blob(row, 3), sqlite3_column_bytes(row, 3))) {
    return false;
  }
  memcpy(info->szDbaseName, name, static_cast<size_t>(nameBytes));
  info->dwFlags = CEDB_VALIDNAME | CEDB_VALIDTYPE | CEDB_VALIDSORTSPEC | CEDB_VALIDMODTIME |
                  CEDB_VALIDDBFLAGS |
                  (static_cast<DWORD>(sqlite3_column_int64(row, 2)) & 0xFFFF0000u);
  info->dwDbaseType = static_cast<DWORD>(sqlite3_column_int64(row, 1));
  uint64_t modified = static_cast<uint64_t>(sqlite3_column_int64(row, 4));
  info->ftLastModified.dwLowDateTime = static_cast<DWORD>(modified);
  info->ftLastModified.dwHighDateTime = static_cast<DWORD>(modified >> 32);
  // The fields are 16 and 32 bits wide: larger counts saturate.
  sqlite3_int64 records = sqlite3_column_int64(row, 5);
  sqlite3_int64 size = sqlite3_column_int64(row, 6);
  info->wNumRecords = static_cast<WORD>(records < 0 ? 0 : records > 0xFFFF ? 0xFFFF : records);
  info->dwSize = static_cast<DWORD>(size < 0 ? 0 : size > 0xFFFFFFFFll ? 0xFFFFFFFFll : size);
  info->wNumSortOrder = sorts.count;
  memcpy(info->rgSortSpecs, sorts.specs, sizeof(info->rgSortSpecs));
  return true;
}

}  // namespace
}  // namespace store
}  // namespace ceplatform

using namespace ceplatform;
using namespace ceplatform::store;

extern "C" {

CEOID CeCreateDatabaseEx(PCEGUID volume, CEDBASEINFO* info) {
  DWORD injected;
  if (Store::Instance().TakeFailure(&injected)) return Fail<CEOID>(injected, 0);
  size_t units = 0;
  if (!IsSystemVolume(volume) || info == nullptr || !(info->dwFlags & CEDB_VALIDNAME) ||
      !DatabaseNameLength(info->szDbaseName, &units)) {
    return Fail<CEOID>(ERROR_INVALID_PARAMETER, 0);
  }
  SortOrders sorts;
  if (info->dwFlags & CEDB_VALIDSORTSPEC) {
    if (info->wNumSortOrder > CEDB_MAXSORTORDER) return Fail<CEOID>(ERROR_INVALID_PARAMETER, 0);
    sorts.count = info->wNumSortOrder;
    for (WORD i = 0; i < sorts.count; ++i) {
      if (!IsKnownType(TypeFromPropID(info->rgSortSpecs[i].propid))) {
        return Fail<CEOID>(ERROR_INVALID_PARAMETER, 0);
      }
      sorts.specs[i] = info->rgSortSpecs[i];
    }
  }
  DWORD type = (info->dwFlags & CEDB_VALIDTYPE) ? info->dwDbaseType : 0;
  DWORD flags = (info->dwFlags & CEDB_VALIDDBFLAGS) ? info->dwFlags & 0xFFFF0000u : 0;
  try {
    std::string sortBytes;
    sorts.Encode(&sortBytes);
    ConnectionLease lease("CeCreateDatabaseEx", ConnectionLease::kWrite);
    Connection* connection = lease.get();
    if (connection == nullptr) return Fail<CEOID>(lease.error(), 0);
    CEOID created = 0;
    DWORD refusal = 0;
    int rc = RunWriteTransaction(connection, [&]() -> int {
      CEOID existing;
      SortOrders existingSorts;
      int rc = FindDatabase(connection, 0, info->szDbaseName, units, &existing, &existingSorts);
      if (rc == SQLITE_ROW) {
        refusal = ERROR_DUP_NAME;
        return kRefused;
      }
      if (rc != SQLITE_DONE) return rc;
      CEOID oid = 0;
      rc = NextObjectId(connection, &oid);
      if (rc == SQLITE_DONE) {
        refusal = ERROR_DISK_FULL;  // every 32-bit identifier has been used
        return kRefused;
      }
      if (rc != SQLITE_OK) return rc;
      sqlite3_stmt* insert = connection->Statement(kInsertDatabase, &rc);
      if (insert == nullptr) return rc;
      StatementScope scope(insert);
      sqlite3_bind_int64(insert, 1, oid);
      sqlite3_bind_blob(insert, 2, info->szDbaseName, static_cast<int>(units * sizeof(WCHAR)),
                        SQLITE_STATIC);
      sqlite3_bind_int64(insert, 3, type);
      sqlite3_bind_int64(insert, 4, flags);
      sqlite3_bind_blob(insert, 5, sortBytes.data(), static_cast<int>(sortBytes.size()),
                        SQLITE_STATIC);
      sqlite3_bind_int64(insert, 6, FileTimeNow());
      rc = Connection::Step(insert);
      if (rc != SQLITE_DONE) return rc;
      created = oid;
      return SQLITE_OK;
    });
    if (rc == kRefused) return Fail<CEOID>(refusal, 0);
    if (rc != SQLITE_OK) {
      LogSqliteFailure("CeCreateDatabaseEx", connection, rc);
      return Fail<CEOID>(WriteErrorFromSqlite(rc), 0);
    }
    return created;
  } catch (const std::bad_alloc&) {
    return Fail<CEOID>(ERROR_NOT_ENOUGH_MEMORY, 0);
  }
}

HANDLE CeOpenDatabaseEx(PCEGUID volume, PCEOID oid, LPWSTR name, CEPROPID sortProperty,
                        DWORD flags, CENOTIFYREQUEST* /*notify*/) {
  DWORD injected;
  if (Store::Instance().TakeFailure(&injected)) return Fail(injected, INVALID_HANDLE_VALUE);
  CEOID wanted = oid != nullptr ? *oid : 0;
  size_t units = 0;
  if (!IsSystemVolume(volume) ||
      (wanted == 0 && (name == nullptr || !DatabaseNameLength(name, &units)))) {
    return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  }
  try {
    CEOID found = 0;
    SortOrders sorts;
    uint64_t generation = Store::Instance().generation();
    {
      ConnectionLease lease("CeOpenDatabaseEx", ConnectionLease::kRead);
      Connection* connection = lease.get();
      if (connection == nullptr) return Fail(lease.error(), INVALID_HANDLE_VALUE);
      generation = connection->generation();
      int rc = FindDatabase(connection, wanted, name, units, &found, &sorts);
      if (rc == SQLITE_DONE) return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
      if (rc != SQLITE_ROW) {
        LogSqliteFailure("CeOpenDatabaseEx", connection, rc);
        return Fail(ReadErrorFromSqlite(rc), INVALID_HANDLE_VALUE);
      }
    }
    int order = kCreationOrder;
    if (sortProperty == 0) {
      if (sorts.count > 0) order = 0;
    } else {
      order = -1;
      for (WORD i = 0; i < sorts.count && order < 0; ++i) {
        if (sorts.specs[i].propid == sortProperty) order = i;
      }
      if (order < 0) return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    }
    auto database = std::make_shared<DatabaseHandle>(found, generation, sorts, order,
                                                     (flags & CEDB_AUTOINCREMENT) != 0);
    HANDLE handle = HandleInsert(std::move(database));
    if (handle == INVALID_HANDLE_VALUE) return handle;  // the table set the error
    if (oid != nullptr) *oid = found;
    return handle;
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY, INVALID_HANDLE_VALUE);
  }
}

BOOL CeDeleteDatabase(CEOID oid) {
  DWORD injected;
  if (Store::Instance().TakeFailure(&injected)) return Fail<BOOL>(injected, FALSE);
  if (oid == 0) return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
  try {
    ConnectionLease lease("CeDeleteDatabase", ConnectionLease::kWrite);
    Connection* connection = lease.get();
    if (connection == nullptr) return Fail<BOOL>(lease.error(), FALSE);
    int rc = RunWriteTransaction(connection, [&]() -> int {
      int rc = SQLITE_OK;
      sqlite3_stmt* statement = connection->Statement(kDeleteDatabase, &rc);
      if (statement == nullptr) return rc;
      {
        StatementScope scope(statement);
        sqlite3_bind_int64(statement, 1, oid);
        rc = Connection::Step(statement);
        if (rc != SQLITE_DONE) return rc;
        if (sqlite3_changes(connection->handle()) == 0) return kRefused;
      }
      statement = connection->Statement(kDeleteDatabaseRecords, &rc);
      if (statement == nullptr) return rc;
      StatementScope scope(statement);
      sqlite3_bind_int64(statement, 1, oid);
      rc = Connection::Step(statement);
      return rc == SQLITE_DONE ? SQLITE_OK : rc;
    });
    if (rc == kRefused) return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
    if (rc != SQLITE_OK) {
      LogSqliteFailure("CeDeleteDatabase", connection, rc);
      return Fail<BOOL>(WriteErrorFromSqlite(rc), FALSE);
    }
    return TRUE;
  } catch (const std::bad_alloc&) {
    return Fail<BOOL>(ERROR_NOT_ENOUGH_MEMORY, FALSE);
  }
}

HANDLE CeFindFirstDatabase(DWORD databaseType) {
  DWORD injected;
  if (Store::Instance().TakeFailure(&injected)) return Fail(injected, INVALID_HANDLE_VALUE);
  try {
    uint64_t generation;
    {
      // Opening a connection now reports an unreadable store here rather
      // than at the first CeFindNextDatabase.
      ConnectionLease lease("CeFindFirstDatabase", ConnectionLease::kRead);
      if (lease.get() == nullptr) return Fail(lease.error(), INVALID_HANDLE_VALUE);
      generation = lease.get()->generation();
    }
    return HandleInsert(std::make_shared<DatabaseEnumeration>(databaseType, generation));
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY, INVALID_HANDLE_VALUE);
  }
}

CEOID CeFindNextDatabase(HANDLE enumeration) {
  DWORD injected;
  if (Store::Instance().TakeFailure(&injected)) return Fail<CEOID>(injected, 0);
  try {
    std::shared_ptr<DatabaseEnumeration> walk = LookupEnumeration(enumeration);
    if (walk == nullptr) return 0;
    std::lock_guard<std::mutex> lock(walk->mutex);
    ConnectionLease lease("CeFindNextDatabase", ConnectionLease::kRead);
    Connection* connection = lease.get();
    if (connection == nullptr) return Fail<CEOID>(lease.error(), 0);
    int rc = SQLITE_OK;
    sqlite3_stmt* statement =
        connection->Statement(walk->type() == 0 ? kNextDatabase : kNextDatabaseOfType, &rc);
    if (statement == nullptr) return Fail<CEOID>(ReadErrorFromSqlite(rc), 0);
    StatementScope scope(statement);
    sqlite3_bind_int64(statement, 1, walk->last);
    if (walk->type() != 0) sqlite3_bind_int64(statement, 2, walk->type());
    rc = Connection::Step(statement);
    if (rc == SQLITE_DONE) return Fail<CEOID>(ERROR_NO_MORE_ITEMS, 0);
    if (rc != SQLITE_ROW) {
      LogSqliteFailure("CeFindNextDatabase", connection, rc);
      return Fail<CEOID>(ReadErrorFromSqlite(rc), 0);
    }
    walk->last = static_cast<CEOID>(sqlite3_column_int64(statement, 0));
    return walk->last;
  } catch (const std::bad_alloc&) {
    return Fail<CEOID>(ERROR_NOT_ENOUGH_MEMORY, 0);
  }
}

BOOL CeOidGetInfo(CEOID oid, CEOIDINFO* info) {
  DWORD injected;
  if (Store::Instance().TakeFailure(&injected)) return Fail<BOOL>(injected, FALSE);
  if (oid == 0 || info == nullptr) return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
  try {
    ConnectionLease lease("CeOidGetInfo", ConnectionLease::kRead);
    Connection* connection = lease.get();
    if (connection == nullptr) return Fail<BOOL>(lease.error(), FALSE);
    int rc = SQLITE_OK;
    sqlite3_stmt* statement = connection->Statement(kDatabaseInfo, &rc);
    if (statement == nullptr) return Fail<BOOL>(ReadErrorFromSqlite(rc), FALSE);
    {
      StatementScope scope(statement);
      sqlite3_bind_int64(statement, 1, oid);
      rc = Connection::Step(statement);
      if (rc == SQLITE_ROW) {
        CEOIDINFO result;
        memset(&result, 0, sizeof(result));
        result.wObjType = OBJTYPE_DATABASE;
        if (!FillDatabaseInfo(statement, &result.infDatabase)) {
          LogSqliteFailure("CeOidGetInfo", connection, SQLITE_CORRUPT);
          return Fail<BOOL>(ERROR_READ_FAULT, FALSE);
        }
        *info = result;
        return TRUE;
      }
      if (rc != SQLITE_DONE) {
        LogSqliteFailure("CeOidGetInfo", connection, rc);
        return Fail<BOOL>(ReadErrorFromSqlite(rc), FALSE);
      }
    }
    statement = connection->Statement(kRecordParent, &rc);
    if (statement == nullptr) return Fail<BOOL>(ReadErrorFromSqlite(rc), FALSE);
    StatementScope scope(statement);
    sqlite3_bind_int64(statement, 1, oid);
    rc = Connection::Step(statement);
    if (rc == SQLITE_DONE) return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
    if (rc != SQLITE_ROW) {
      LogSqliteFailure("CeOidGetInfo", connection, rc);
      return Fail<BOOL>(ReadErrorFromSqlite(rc), FALSE);
    }
    memset(info, 0, sizeof(*info));
    info->wObjType = OBJTYPE_RECORD;
    info->infRecord.oidParent = static_cast<CEOID>(sqlite3_column_int64(statement, 0));
    return TRUE;
  } catch (const std::bad_alloc&) {
    return Fail<BOOL>(ERROR_NOT_ENOUGH_MEMORY, FALSE);
  }
}

}  // extern "C"
