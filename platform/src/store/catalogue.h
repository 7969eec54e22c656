// Every database of the store, as one query read them.
#ifndef CEPLATFORM_STORE_CATALOGUE_H_
#define CEPLATFORM_STORE_CATALOGUE_H_

#include <stdint.h>

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "store.h"
#include "store_call.h"
#include "wince_db.h"

namespace ceplatform {
namespace store {

// The databases table read whole, which opening a database, enumerating and
// describing databases consult while it is fresh (see StoreStamp): a board
// page opens its database without a query, and listing every database costs
// one query instead of two per database.
class Catalogue {
 public:
  // One database as stored. `sound` is false when its row cannot be decoded
  // (a name or sort orders of a wrong size); callers report a read fault.
  struct Entry {
    CEOID oid = 0;
    std::string name;  // the UTF-16 units' bytes
    DWORD type = 0;
    DWORD flags = 0;
    SortOrders sorts;
    int64_t modified = 0;
    int64_t records = 0;
    int64_t size = 0;
    bool sound = true;
  };

  // What a caller reads of the catalogue: only which databases there are,
  // with their names, types, flags and sort orders, or also their record
  // counts, sizes and times, which every record write changes.
  enum Need { kNames, kWhole };

  // A catalogue fresh for `need` (see Store::DatabasesFresh), or one read
  // now. nullptr with *error (a last-error code) when the store cannot be
  // read; the failure is logged under `call`.
  static std::shared_ptr<const Catalogue> Current(const char* call, Need need, DWORD* error);

  const StoreStamp& stamp() const { return stamp_; }
  const Entry* ByOid(CEOID oid) const;
  const Entry* ByName(const WCHAR* name, size_t units) const;
  // The first database after `last` in creation order, of `type` unless it
  // is 0; nullptr when none follows.
  const Entry* After(CEOID last, DWORD type) const;

  // Fills a CEDBASEINFO; false for an unsound entry.
  static bool Describe(const Entry& entry, CEDBASEINFO* info);

 private:
  // Reads the whole table through `connection`.
  Result Load(Connection* connection, const StoreStamp& stamp);

  StoreStamp stamp_;
  std::vector<Entry> entries_;  // ascending oid
  std::unordered_map<std::string, size_t> by_name_;
};

}  // namespace store
}  // namespace ceplatform

#endif  // CEPLATFORM_STORE_CATALOGUE_H_
