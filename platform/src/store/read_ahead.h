// The records a database handle has read ahead of its position.
#ifndef CEPLATFORM_STORE_READ_AHEAD_H_
#define CEPLATFORM_STORE_READ_AHEAD_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "connection.h"
#include "store.h"
#include "wince_db.h"

namespace ceplatform {
namespace store {

// Records following a handle's position, read by one query and handed out
// one per read while they are fresh (see StoreStamp). A page of reads thus
// costs one query instead of one each. The first query asks for a
// board page's worth (20 posts and one more that tells whether a next page
// follows) and each later one for twice as many as the one before, up to
// kMaxRows and about kMaxBytes: every row read ahead costs a step and a copy,
// so a handle that reads a few records reads few ahead.
class ReadAhead : private RecordSink {
 public:
  static constexpr int kFirstRows = 21;
  static constexpr int kMaxRows = 1024;
  static constexpr size_t kMaxBytes = 256 * 1024;

  // A record held: its oid, sort key and stored properties.
  struct Row {
    CEOID oid;
    const uint8_t* key;
    size_t key_size;
    const uint8_t* props;  // never null
    size_t props_size;
  };

  // Whether a record is held, and whether it is also fresh.
  bool Holding() const { return next_ < rows_.size(); }
  bool Ready() const;
  // The first record held (only while Holding()).
  Row Front() const;
  // Drops the front record once it has been handed out.
  void Pop() { ++next_; }
  void Clear();

  // How many records the next query is to ask for.
  int rows_wanted() const { return rows_wanted_; }

  // Runs `query` (limit: rows_wanted()) through `connection` and keeps its
  // rows under `stamp`, taken before the query ran. Nothing is held after a
  // failure.
  Result Fill(Connection* connection, const ReadQuery& query, const StoreStamp& stamp);

 private:
  bool Add(CEOID oid, const uint8_t* key, size_t key_size, const uint8_t* props,
           size_t props_size) override;

  struct Entry {
    CEOID oid;
    size_t key, key_size, props, props_size;  // offsets into bytes_
  };

  std::string bytes_;
  std::vector<Entry> rows_;
  size_t next_ = 0;
  StoreStamp stamp_;
  int rows_wanted_ = kFirstRows;
};

}  // namespace store
}  // namespace ceplatform

#endif  // CEPLATFORM_STORE_READ_AHEAD_H_
