#include "read_ahead.h"


namespace ceplatform {
namespace store {
namespace {

const uint8_t kNothing[1] = {0};

void Append(std::string* bytes, const uint8_t* data, size_t count, size_t* offset,
            size_t* size) {
  *offset = bytes->size();
  *size = data != nullptr ? count : 0;
  if (*size > 0) bytes->append(reinterpret_cast<const char*>(data), *size);
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

bool ReadAhead::Add(CEOID oid, const uint8_t* key, size_t key_size, const uint8_t* props,
                    size_t props_size) {
  Entry e;
  e.oid = oid;
  Append(&bytes_, key, key_size, &e.key, &e.key_size);
  Append(&bytes_, props, props_size, &e.props, &e.props_size);
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
  return bytes_.size() < kMaxBytes;
}

Result ReadAhead::Fill(Connection* connection, const ReadQuery& query, const StoreStamp& stamp) {
  Clear();
  stamp_ = stamp;
  Result result = connection->ReadRecords(query, this);
  if (result != Result::kOk) {
    Clear();
    return result;
  }
  if (rows_wanted_ < kMaxRows) rows_wanted_ *= 2;
  return Result::kOk;
}

}  // namespace store
}  // namespace ceplatform
