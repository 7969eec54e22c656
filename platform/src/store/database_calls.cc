// The database-level calls of the store: create, open, delete, enumerate,
// describe.
#include <string.h>

#include <new>

#include "catalogue.h"
#include "record_format.h"
#include "store_call.h"

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
    DatabaseRow row;
    row.name.assign(reinterpret_cast<const char*>(info->szDbaseName), units * sizeof(WCHAR));
    row.type = type;
    row.flags = flags;
    sorts.Encode(&row.sorts);
    row.modified = FileTimeNow();
    WriteScope write(WriteKind::kDatabases);
    auto creation = [&](Connection* connection) { return connection->CreateDatabase(&row); };
    std::string message;
    Result result = RunWrite(creation, row.name.size(), &message);
    if (result != Result::kOk) {
      return Fail<CEOID>(WriteFailure("CeCreateDatabaseEx", message, result), 0);
    }
    return row.oid;
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
    uint64_t generation = Store::Instance().generation();
    DWORD error = 0;
    DatabaseEntry byOid;
    std::shared_ptr<const NamedDatabase> named;
    const DatabaseEntry* entry = nullptr;
    if (wanted != 0) {
      entry = DatabaseWithOid("CeOpenDatabaseEx", wanted, &byOid, &error);
      if (error != 0) return Fail(error, INVALID_HANDLE_VALUE);
    } else {
      named = DatabaseNamed("CeOpenDatabaseEx",
                            std::string(reinterpret_cast<const char*>(name), units * sizeof(WCHAR)),
                            &error);
      if (named == nullptr) return Fail(error, INVALID_HANDLE_VALUE);
      if (named->found) entry = &named->entry;
    }
    if (entry == nullptr) return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    if (!entry->sound) {
      LogStoreFailure("CeOpenDatabaseEx", Result::kCorrupt, "the database's row");
      return Fail(ERROR_READ_FAULT, INVALID_HANDLE_VALUE);
    }
    CEOID found = entry->oid;
    const SortOrders& sorts = entry->sorts;
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
    WriteScope write(WriteKind::kDatabases);
    auto deletion = [&](Connection* connection) { return connection->DeleteDatabase(oid); };
    std::string message;
    Result result = RunWrite(deletion, 0, &message);
    if (result == Result::kNoDatabase) return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
    if (result != Result::kOk) {
      return Fail<BOOL>(WriteFailure("CeDeleteDatabase", message, result), FALSE);
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
      // Opening a connection now reports an unreachable store here rather
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
    // The rows read ahead serve while the databases they name are fresh,
    // and so does the end that their query found; then the walk goes on
    // after the last database it handed out.
    bool fresh = walk->ahead != nullptr && Store::Instance().DatabasesFresh(walk->ahead->stamp());
    if (!fresh || walk->next >= walk->ahead->size()) {
      if (fresh && walk->ahead->ReachedTheEnd()) return Fail<CEOID>(ERROR_NO_MORE_ITEMS, 0);
      DWORD error = 0;
      std::shared_ptr<const DatabaseBatch> batch = ReadDatabasesAfter(
          "CeFindNextDatabase", walk->last, walk->type(), DatabaseEnumeration::kBatchRows, &error);
      if (batch == nullptr) return Fail<CEOID>(error, 0);
      walk->ahead = std::move(batch);
      walk->next = 0;
    }
    if (walk->next >= walk->ahead->size()) return Fail<CEOID>(ERROR_NO_MORE_ITEMS, 0);
    walk->last = walk->ahead->at(walk->next++).oid;
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
    DatabaseEntry entry;
    DWORD error = 0;
    const DatabaseEntry* known = DatabaseWithOid("CeOidGetInfo", oid, &entry, &error);
    if (error != 0) return Fail<BOOL>(error, FALSE);
    if (known != nullptr) {
      CEOIDINFO result;
      memset(&result, 0, sizeof(result));
      result.wObjType = OBJTYPE_DATABASE;
      if (!known->Describe(&result.infDatabase)) {
        LogStoreFailure("CeOidGetInfo", Result::kCorrupt, "the database's row");
        return Fail<BOOL>(ERROR_READ_FAULT, FALSE);
      }
      *info = result;
      return TRUE;
    }
    ConnectionLease lease("CeOidGetInfo", ConnectionLease::kRead);
    Connection* connection = lease.get();
    if (connection == nullptr) return Fail<BOOL>(lease.error(), FALSE);
    CEOID parent = 0;
    Result result = connection->RecordParent(oid, &parent);
    if (result == Result::kNoRecord) return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
    if (result != Result::kOk) {
      LogStoreFailure("CeOidGetInfo", result, connection->LastMessage());
      return Fail<BOOL>(ReadError(result), FALSE);
    }
    memset(info, 0, sizeof(*info));
    info->wObjType = OBJTYPE_RECORD;
    info->infRecord.oidParent = parent;
    return TRUE;
  } catch (const std::bad_alloc&) {
    return Fail<BOOL>(ERROR_NOT_ENOUGH_MEMORY, FALSE);
  }
}

}  // extern "C"
