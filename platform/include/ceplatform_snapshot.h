// Whole stores, for the owner's tools (tvxstore): read every table of a store
// in one consistent snapshot, write one into an empty store in one
// transaction, check a store, and back one up into a new SQLite file. A
// WholeStore is opened on its own, apart from the process's store
// (PlatformSetStorePath), so that a tool can hold two at once. Plug-ins
// never include this header; it is C++, for Linux programs only.
//
// Identifiers, sort keys, times and the identifier counter travel unchanged,
// so that a copy answers every link of the original.
#ifndef CEPLATFORM_CEPLATFORM_SNAPSHOT_H_
#define CEPLATFORM_CEPLATFORM_SNAPSHOT_H_

#include <stdint.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ceplatform {

// One database as stored.
struct SnapshotDatabase {
  uint32_t oid = 0;
  std::string name;      // its UTF-16 units as bytes (host order), no terminator
  uint32_t type = 0;
  uint32_t flags = 0;
  std::string sorts;     // its sort orders, 8 bytes each (see DecodeSortOrders)
  int64_t modified = 0;  // FILETIME of the last change
  int64_t records = 0;   // the count and byte size the store keeps for it
  int64_t size = 0;
};

// One record as stored: its bytes (see ParseProperties) and its key under
// each of its database's sort orders.
struct SnapshotRecord {
  uint32_t oid = 0;
  uint32_t database = 0;
  std::string keys[4];
  uint16_t key_count = 0;  // keys[0..key_count) are set, the rest absent
  std::string props;
};

// The order in which WholeStore::Read hands records over.
enum class SnapshotOrder {
  // Every record of the store in ascending oid, whatever its database: what
  // a copy, a count or a check of the whole store reads. A check that
  // identifiers are unique need keep only the last one it saw.
  kIdentifier,
  // Database by database, in ascending oid of the databases and only those
  // the sink wants (SnapshotSink::WantsRecords). Each database's records come
  // as a handle opened with sort property 0 reads them: in its first sort
  // order and that order's direction, equal keys by oid in the same
  // direction; those of a database without sort orders in ascending oid.
  // Records without a key under the first order, which only a damaged store
  // holds, follow by oid in the same direction; they are looked for when the
  // database's kept count is more than the records read with a key. Records
  // of a database that is not there do not come.
  kDatabase,
};

// Receives a store: every database in ascending oid, then the records in the
// order the read was asked for (SnapshotOrder), then the identifier counter
// (the next identifier the store would hand out). Returning false from any
// call stops the read; the receiver keeps the reason.
class SnapshotSink {
 public:
  virtual ~SnapshotSink() = default;
  virtual bool Database(const SnapshotDatabase& database) = 0;
  // In SnapshotOrder::kDatabase, asked once for each database right after
  // Database accepted it: whether its records are to be read at all. Not
  // asked in kIdentifier order, which hands over every record. By default,
  // every database's.
  virtual bool WantsRecords(const SnapshotDatabase& database) {
    (void)database;
    return true;
  }
  virtual bool Record(const SnapshotRecord& record) = 0;
  virtual bool Counter(uint64_t next_oid) = 0;
};

// A store opened by a tool.
class WholeStore {
 public:
  // What a write came to.
  enum class WriteResult { kOk, kNotEmpty, kFailed };

  // Opens `location` (a PostgreSQL URI or an SQLite file). With `create`
  // false the store must exist and is never changed by opening: a missing
  // file, an empty one or one without the store's tables is refused. With
  // `create` a new store is made when there is none. nullptr with *error.
  static std::unique_ptr<WholeStore> Open(const std::string& location, bool create,
                                          std::string* error);
  virtual ~WholeStore() = default;

  // Whether this store is on a PostgreSQL server.
  virtual bool server() const = 0;
  // The location as it may be shown (PlatformPrintableLocation).
  virtual const std::string& shown() const = 0;

  // Hands the whole store to `sink` from one snapshot (an SQLite read
  // transaction; on PostgreSQL one REPEATABLE READ, READ ONLY transaction),
  // while other processes go on writing, the records in `order`. The rows
  // are read a bounded batch at a time (SQLite steps its statements, a
  // PostgreSQL read fetches from cursors), so what the read holds does not
  // grow with the number of records (in kDatabase order it keeps a few
  // numbers for each database). False with *error when the store cannot be
  // read; a sink that stops the read makes it return true.
  virtual bool Read(SnapshotSink* sink, SnapshotOrder order, std::string* error) = 0;
  // The same with the records in ascending oid (SnapshotOrder::kIdentifier).
  bool Read(SnapshotSink* sink, std::string* error) {
    return Read(sink, SnapshotOrder::kIdentifier, error);
  }

  // Whether the store holds no database and no record.
  virtual bool Empty(bool* empty, std::string* error) = 0;

  // Writes what `feed` hands its sink into this store in one transaction:
  // into an empty store, or with `replace` in place of everything it held.
  // The identifier counter becomes the one fed, or more when a fed
  // identifier needs it. kNotEmpty (nothing written) when the store holds
  // data and `replace` is false; kFailed with *error when the feed returned
  // false or a write failed: then nothing at all is written.
  virtual WriteResult Write(const std::function<bool(SnapshotSink*)>& feed, bool replace,
                            std::string* error) = 0;

  // The backend's own check: SQLite's integrity_check, or on PostgreSQL the
  // schema's version and its tables. Each problem found is appended to
  // *problems; false with *error when the check could not run.
  virtual bool CheckBackend(std::vector<std::string>* problems, std::string* error) = 0;

  // Makes `file`, which must be new (absent, or empty as mkstemp leaves
  // it), a consistent copy of this store: an
  // SQLite store through SQLite's online backup, a PostgreSQL one from one
  // snapshot. False with *error; a part-made file is removed.
  virtual bool BackupTo(const std::string& file, std::string* error) = 0;
};

// One property of a stored record.
struct SnapshotProperty {
  uint32_t propid = 0;
  std::string value;  // the value's bytes as stored (a string with its
                      // terminator, fixed sizes little-endian)
};

// Splits a record's bytes into its properties, in stored order. False when
// the bytes are not a well-formed record.
bool ParseProperties(const std::string& props, std::vector<SnapshotProperty>* out);

// A database name (SnapshotDatabase::name) in UTF-8; a unit that is no
// character becomes U+FFFD.
std::string DatabaseNameUtf8(const std::string& name);

// One sort order of a database.
struct SnapshotSortOrder {
  uint32_t propid = 0;
  uint32_t flags = 0;  // CEDB_SORT_* flags
};

// The sort orders of SnapshotDatabase::sorts. False when the bytes are not
// a list of at most four.
bool DecodeSortOrders(const std::string& sorts, std::vector<SnapshotSortOrder>* out);

// SnapshotDatabase::sorts for at most four sort orders. False with more.
bool EncodeSortOrders(const std::vector<SnapshotSortOrder>& sorts, std::string* out);

// A record as the store writes it, for tools that make a store in bulk
// through WholeStore::Write: `properties` (values as ParseProperties gives
// them) in their order as its bytes, and its key under each sort order of
// `sorts` (SnapshotDatabase::sorts). *record's oid and database are left as
// they are. False when a value does not fit its type or `sorts` cannot be
// decoded.
bool MakeSnapshotRecord(const std::vector<SnapshotProperty>& properties,
                        const std::string& sorts, SnapshotRecord* record);

// Checks a store against the store's own rules while it is read: every
// record of a known database and decodable, its keys those of its
// database's sort orders, each database's record count and size as kept,
// identifiers unique and below the counter. Feed it a Read in
// SnapshotOrder::kIdentifier, then call Finish. It keeps what it knows of
// each database and the last record's identifier, never one thing per
// record: identifiers are unique when each record's is above the one before
// it and no database's.
class StoreConsistency : public SnapshotSink {
 public:
  StoreConsistency();
  ~StoreConsistency() override;
  bool Database(const SnapshotDatabase& database) override;
  bool Record(const SnapshotRecord& record) override;
  bool Counter(uint64_t next_oid) override;
  // Ends the check: the totals. Call once, after the read.
  void Finish();
  const std::vector<std::string>& problems() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace ceplatform

#endif  // CEPLATFORM_CEPLATFORM_SNAPSHOT_H_
