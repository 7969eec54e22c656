#include "snapshot_listing.h"

#include "store_call.h"

namespace ceplatform {
namespace store {
namespace {

const char kColumns[] = "SELECT oid, db, k0, k1, k2, k3, props FROM records";

}  // namespace

std::string AllRecordsSql() { return std::string(kColumns) + " ORDER BY oid"; }

DatabaseListing ListingOf(const SnapshotDatabase& row) {
  DatabaseListing listing;
  listing.database = row.oid;
  listing.kept = row.records;
  SortOrders sorts;
  if (sorts.Decode(row.sorts) && sorts.count > 0) {
    listing.keyed = true;
    listing.descending = (sorts.specs[0].dwFlags & CEDB_SORT_DESCENDING) != 0;
  }
  return listing;
}

std::string ListingSql(const DatabaseListing& listing, const std::string& database) {
  std::string sql = std::string(kColumns) + " WHERE db = " + database;
  if (!listing.keyed) return sql + " ORDER BY oid";
  // The key index holds only the records that have the key.
  const char* direction = listing.descending ? " DESC" : "";
  return sql + " AND k0 IS NOT NULL ORDER BY k0" + direction + ", oid" + direction;
}

bool ListsUnkeyed(const DatabaseListing& listing, int64_t read) {
  return listing.keyed && listing.kept > read;
}

std::string UnkeyedSql(const DatabaseListing& listing, const std::string& database) {
  return std::string(kColumns) + " WHERE db = " + database + " AND k0 IS NULL ORDER BY oid" +
         (listing.descending ? " DESC" : "");
}

}  // namespace store
}  // namespace ceplatform
