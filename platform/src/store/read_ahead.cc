#include "read_ahead.h"

#include "connection.h"

namespace ceplatform {
namespace store {
namespace {

const uint8_t kNothing[1] = {0};

void Append(std::string* bytes, sqlite3_stmt* statement, int column, size_t* offset,
            size_t* size) {
  const void* data = sqlite3_column_blob(statement, column);
  int count = sqlite3_column_bytes(statement, column);
  *offset = bytes->size();
  *size = data != nullptr && count > 0 ? static_cast<size_t>(count) : 0;
  if (*size > 0) bytes->append(static_cast<const char*>(data), *size);
}

}  // namespace

bool ReadAhead::Ready() const {
  return Holding() && Store::Instance().Fresh(stamp_);
}

ReadAhead::Row ReadAhead::Front() const {
  const Entry& e = rows_[next_];
  const uint8_t* base = reinterpret_cast<const uint8_t*>(bytes_.data());
  Row row;
  row.oid = e.oid;
  row.key = e.key_size > 0 ? base + e.key : kNothing;
  row.key_size = e.key_size;
  row.props = e.props_size > 0 ? base + e.props : kNothing;
  row.props_size = e.props_size;
  return row;
}

void ReadAhead::Clear() {
  bytes_.clear();
  rows_.clear();
  next_ = 0;
}

int ReadAhead::Fill(sqlite3_stmt* statement, const StoreStamp& stamp) {
  Clear();
  stamp_ = stamp;
  int rc;
  while ((rc = Connection::Step(statement)) == SQLITE_ROW) {
    Entry e;
    e.oid = static_cast<CEOID>(sqlite3_column_int64(statement, 0));
    Append(&bytes_, statement, 1, &e.key, &e.key_size);
    Append(&bytes_, statement, 2, &e.props, &e.props_size);
    if (rows_.empty()) {
      // Room for the rows asked for, if they are about the size of the first:
      // one allocation instead of a copy at each doubling.
      size_t estimate = bytes_.size() * static_cast<size_t>(rows_wanted_);
      bytes_.reserve(estimate < kMaxBytes ? estimate : kMaxBytes);
      rows_.reserve(static_cast<size_t>(rows_wanted_));
    }
    rows_.push_back(e);
    // A query asks for rows_wanted_ rows; stopping early leaves the rest for
    // the next query.
    if (bytes_.size() >= kMaxBytes) break;
  }
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
    Clear();
    return rc;
  }
  if (rows_wanted_ < kMaxRows) rows_wanted_ *= 2;
  return SQLITE_DONE;
}

}  // namespace store
}  // namespace ceplatform
