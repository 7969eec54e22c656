// The statements of a whole-store read's records, the same on both backends:
// every record in ascending oid, or one database's records as a handle
// opened with sort property 0 reads them (SnapshotOrder, in
// ceplatform_snapshot.h). Each gives the columns oid, db, k0, k1, k2, k3 and
// props, and reads through an index in the order it lists, so that a
// backend can step through the rows or fetch them in batches without a sort.
#ifndef CEPLATFORM_STORE_SNAPSHOT_LISTING_H_
#define CEPLATFORM_STORE_SNAPSHOT_LISTING_H_

#include <stdint.h>

#include <string>

#include "ceplatform_snapshot.h"

namespace ceplatform {
namespace store {

// Every record of the store in ascending oid.
std::string AllRecordsSql();

// How one database's records are listed.
struct DatabaseListing {
  uint32_t database = 0;
  bool keyed = false;       // by its first sort order (k0); else in ascending oid
  bool descending = false;  // that order's direction
  int64_t kept = 0;         // the record count its row keeps
};

// The listing of a database from its row. A database whose sort orders
// cannot be decoded is listed as one without any.
DatabaseListing ListingOf(const SnapshotDatabase& row);

// The first statement of a listing: the records with a key under the first
// order, in its direction, equal keys by oid likewise; or every record in
// ascending oid. `database` is the SQL that stands for the database's
// identifier ("?1", or the number).
std::string ListingSql(const DatabaseListing& listing, const std::string& database);

// Whether, after the first statement gave `read` records, the records without
// a key are to be looked for: a keyed listing whose database keeps a count
// above `read` (in a sound store every record has its keys).
bool ListsUnkeyed(const DatabaseListing& listing, int64_t read);

// The second statement: the records without a key under the first order, by
// oid in the order's direction.
std::string UnkeyedSql(const DatabaseListing& listing, const std::string& database);

}  // namespace store
}  // namespace ceplatform

#endif  // CEPLATFORM_STORE_SNAPSHOT_LISTING_H_
