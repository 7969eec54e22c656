// The databases of the store as the database calls see them: each looked up
// by its own indexed query, so that opening, describing and enumerating cost
// the same with ten databases or forty thousand, and none of them reads the
// whole table.
//
// What a query read stands for the store while it is fresh (see StoreStamp):
// - a database looked up by name (found or not) serves every opening of
//   that name while its databases are fresh (record writes leave it so), so
//   a busy board opens its database without a query;
// - the rows an enumeration read ahead serve its next steps while the
//   databases are fresh, and describe those databases to the thread that
//   enumerates while the store is fresh (a catalogue lists every database
//   with one query per batch, not one per database).
// Another process's change shows within kStampLifetimeNs; this process's
// own at once.
#ifndef CEPLATFORM_STORE_CATALOGUE_H_
#define CEPLATFORM_STORE_CATALOGUE_H_

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "store.h"
#include "store_call.h"
#include "wince_db.h"

namespace ceplatform {
namespace store {

// One database as stored. `sound` is false when its row cannot be decoded (a
// name or sort orders of a wrong size); callers report a read fault.
struct DatabaseEntry {
  CEOID oid = 0;
  std::string name;  // the UTF-16 units' bytes
  DWORD type = 0;
  DWORD flags = 0;
  SortOrders sorts;
  int64_t modified = 0;
  int64_t records = 0;
  int64_t size = 0;
  bool sound = true;

  static DatabaseEntry From(DatabaseRow&& row);
  // Fills a CEDBASEINFO; false for an unsound entry.
  bool Describe(CEDBASEINFO* info) const;
};

// The database of one name as one query found it, or found none.
struct NamedDatabase {
  StoreStamp stamp;
  bool found = false;
  DatabaseEntry entry;
};

// Rows of the databases table in ascending oid that one query read, stamped
// before it ran; not changed once filled, so that several threads may read
// them at once.
class DatabaseBatch : public DatabaseSink {
 public:
  // `limit`: how many rows the query asked for.
  DatabaseBatch(const StoreStamp& stamp, int limit) : stamp_(stamp), limit_(limit) {}

  const StoreStamp& stamp() const { return stamp_; }
  size_t size() const { return entries_.size(); }
  // Whether the query found the last database after its start: it gave
  // fewer rows than asked for.
  bool ReachedTheEnd() const { return entries_.size() < static_cast<size_t>(limit_); }
  const DatabaseEntry& at(size_t i) const { return entries_[i]; }
  // The entry of `oid`, or nullptr. `hint` (when given) is where the last
  // lookup found one: a walk in oid order finds its entry there or just
  // after it, without a search; it is updated.
  const DatabaseEntry* Find(CEOID oid, size_t* hint = nullptr) const;

 private:
  void Add(DatabaseRow&& row) override;

  const StoreStamp stamp_;
  const int limit_;
  std::vector<DatabaseEntry> entries_;
};

// The database named `name` (its UTF-16 units' bytes): remembered while its
// databases are fresh, else looked up now. nullptr with *error (a last-error
// code) when the store cannot be read; the failure is logged under `call`.
std::shared_ptr<const NamedDatabase> DatabaseNamed(const char* call, const std::string& name,
                                                   DWORD* error);

// The database with identifier `oid`: from the rows the calling thread's
// enumeration read lately while the store is fresh (a catalogue describes
// each database it walks without a query or a copy; the entry stays valid
// until the thread's next enumeration step), else looked up now into
// *storage. nullptr with *error 0 when no database has the identifier;
// nullptr with *error set when the store cannot be read.
const DatabaseEntry* DatabaseWithOid(const char* call, CEOID oid, DatabaseEntry* storage,
                                     DWORD* error);

// Up to `limit` databases after `after` in ascending oid, of `type` unless it
// is 0. They also become the calling thread's rows for DatabaseWithOid.
// nullptr with *error when the store cannot be read.
std::shared_ptr<const DatabaseBatch> ReadDatabasesAfter(const char* call, CEOID after,
                                                        DWORD type, int limit, DWORD* error);

}  // namespace store
}  // namespace ceplatform

#endif  // CEPLATFORM_STORE_CATALOGUE_H_
