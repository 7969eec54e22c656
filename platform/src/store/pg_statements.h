// The statements the PostgreSQL store sends with parameters: their texts,
// written once, their parameters' types, and the identifiers under which a
// connection straight to the server keeps them prepared (pg_session.h).
#ifndef CEPLATFORM_STORE_PG_STATEMENTS_H_
#define CEPLATFORM_STORE_PG_STATEMENTS_H_

#include "pg_session.h"
#include "write_queue.h"

namespace ceplatform {
namespace store {

enum PgStatementId {
  kDatabaseRowByName,
  kDatabaseRowByOid,
  kDatabasesAfter,
  kDatabasesOfTypeAfter,
  kDatabaseExists,
  kRecordParent,
  kRecordOwner,
  kAdvanceIdentifiers,
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
  // A group's new records in one statement: kInsertNewRecords + count - 1
  // for 1 to kMaxGroupWrites of them.
  kInsertNewRecords = kReadAtFirst + 5 * 2,
  kPgStatementCount = kInsertNewRecords + kMaxGroupWrites,
};

const PgStatement& Statement(int id);

}  // namespace store
}  // namespace ceplatform

#endif  // CEPLATFORM_STORE_PG_STATEMENTS_H_
