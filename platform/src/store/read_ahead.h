// The records a database handle has read ahead of its position, and the
// first records of recently read databases, which every handle that starts
// at the top may share.
#ifndef CEPLATFORM_STORE_READ_AHEAD_H_
#define CEPLATFORM_STORE_READ_AHEAD_H_

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "connection.h"
#include "store.h"
#include "wince_db.h"

namespace ceplatform {
namespace store {

// A record held: its oid, sort key and stored properties.
struct HeldRecord {
  CEOID oid;
  const uint8_t* key;
  size_t key_size;
  const uint8_t* props;  // never null
  size_t props_size;
};

// The rows of one query, stamped before it ran; not changed once filled, so
// that several handles may read them at once.
class RecordBatch : public RecordSink {
 public:
  // `rows_wanted`: the query's limit.
  RecordBatch(const StoreStamp& stamp, int rows_wanted)
      : stamp_(stamp), rows_wanted_(rows_wanted) {}

  const StoreStamp& stamp() const { return stamp_; }
  size_t size() const { return rows_.size(); }
  // Whether the query found the last record of its order: it gave fewer rows
  // than asked for, and not because of kMaxBytes. Then no record followed the
  // batch when it was read.
  bool ReachedTheEnd() const {
    return !cut_ && rows_.size() < static_cast<size_t>(rows_wanted_);
  }
  HeldRecord Row(size_t i) const;
  // Stops the query at about this many bytes.
  static constexpr size_t kMaxBytes = 256 * 1024;

 private:
  bool Add(CEOID oid, const uint8_t* key, size_t key_size, const uint8_t* props,
           size_t props_size) override;

  struct Entry {
    CEOID oid;
    size_t key, key_size, props, props_size;  // offsets into bytes_
  };

  const StoreStamp stamp_;
  const int rows_wanted_;
  bool cut_ = false;  // stopped at kMaxBytes
  std::string bytes_;
  std::vector<Entry> rows_;
};

// Records following a handle's position, read by one query and handed out
// one per read while they are fresh (see StoreStamp). A page of reads thus
// costs one query instead of one each. The first query asks for a
// board page's worth (20 posts and one more that tells whether a next page
// follows) and each later one for twice as many as the one before, up to
// kMaxRows and about RecordBatch::kMaxBytes: every row read ahead costs a
// step and a copy, so a handle that reads a few records reads few ahead.
//
// A first query from the top of a database, or from a position (a seek), is
// answered from the batch that another handle read with the same query while
// that batch is fresh: a busy board's pages cost no query at all, and show
// what a query would have shown within the stamp lifetime.
class ReadAhead {
 public:
  static constexpr int kFirstRows = 21;
  static constexpr int kMaxRows = 1024;

  using Row = HeldRecord;

  // Whether a record is held, and whether it is also fresh.
  bool Holding() const { return batch_ != nullptr && next_ < batch_->size(); }
  bool Ready() const;
  // Whether every record the last query found has been handed out, that
  // query reached the last record of the database, and it is still fresh:
  // the next read is past the last record, with no query to tell. (A query
  // that found no record does not say the database is still there.)
  bool AtTheEnd() const;
  // The first record held (only while Holding()).
  Row Front() const { return batch_->Row(next_); }
  // Drops the front record once it has been handed out.
  void Pop() { ++next_; }
  void Clear();

  // How many records the next query is to ask for.
  int rows_wanted() const { return rows_wanted_; }

  // Takes a fresh batch of the same first query (limit: rows_wanted()) that
  // a handle read before; false when there is none.
  bool Share(const ReadQuery& query);
  // How many times Share has found a batch in this process (for tests).
  static uint64_t shared_count();
  // Runs `query` (limit: rows_wanted()) through `connection` and keeps its
  // rows under `stamp`, taken before the query ran. Nothing is held after a
  // failure.
  Result Fill(Connection* connection, const ReadQuery& query, const StoreStamp& stamp);

 private:
  void Took(std::shared_ptr<const RecordBatch> batch);

  std::shared_ptr<const RecordBatch> batch_;
  size_t next_ = 0;
  int rows_wanted_ = kFirstRows;
};

}  // namespace store
}  // namespace ceplatform

#endif  // CEPLATFORM_STORE_READ_AHEAD_H_
