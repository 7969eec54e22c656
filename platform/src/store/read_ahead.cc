#include "read_ahead.h"

#include <atomic>
#include <mutex>

namespace ceplatform {
namespace store {
namespace {

const uint8_t kNothing[1] = {0};

std::atomic<uint64_t> g_shared{0};

void Append(std::string* bytes, const uint8_t* data, size_t count, size_t* offset,
            size_t* size) {
  *offset = bytes->size();
  *size = data != nullptr ? count : 0;
  if (*size > 0) bytes->append(reinterpret_cast<const char*>(data), *size);
}

// Whether a batch of `query` may be shared: only a page's worth read from
// the top of a database or from a position (a seek), the first query of a
// handle.
bool Shareable(const ReadQuery& query) {
  return query.start != ReadQuery::Start::kAfter && query.limit == ReadAhead::kFirstRows;
}

// The batches of pages read lately, one per database, order and position,
// the least lately used given up first. At most kSlots batches of at most
// about RecordBatch::kMaxBytes each are kept.
class SharedBatches {
 public:
  // The first pages of databases, and the pages at a position, apart: a
  // reader walking deep into a database never pushes the busy first pages
  // out.
  static SharedBatches& For(const ReadQuery& query) {
    static SharedBatches* first = new SharedBatches;  // outlive every thread
    static SharedBatches* deeper = new SharedBatches;
    return query.start == ReadQuery::Start::kTop ? *first : *deeper;
  }

  std::shared_ptr<const RecordBatch> Find(const ReadQuery& query) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Slot& slot : slots_) {
      if (slot.batch != nullptr && Same(slot, query)) {
        if (!Store::Instance().Fresh(slot.batch->stamp())) return nullptr;
        slot.used = ++clock_;
        return slot.batch;
      }
    }
    return nullptr;
  }

  void Keep(const ReadQuery& query, const std::shared_ptr<const RecordBatch>& batch) {
    std::lock_guard<std::mutex> lock(mutex_);
    Slot* target = &slots_[0];
    for (Slot& slot : slots_) {
      if (slot.batch != nullptr && Same(slot, query)) {
        target = &slot;
        break;
      }
      if (slot.used < target->used) target = &slot;
    }
    target->database = query.database;
    target->order = query.order;
    target->descending = query.descending;
    target->position = query.start == ReadQuery::Start::kAt ? query.position : 0;
    target->batch = batch;
    target->used = ++clock_;
  }

 private:
  static constexpr int kSlots = 16;
  struct Slot {
    CEOID database = 0;
    int order = 0;
    bool descending = false;
    int64_t position = 0;
    std::shared_ptr<const RecordBatch> batch;
    uint64_t used = 0;
  };
  static bool Same(const Slot& slot, const ReadQuery& query) {
    int64_t position = query.start == ReadQuery::Start::kAt ? query.position : 0;
    return slot.database == query.database && slot.order == query.order &&
           slot.descending == query.descending && slot.position == position;
  }

  std::mutex mutex_;
  Slot slots_[kSlots];
  uint64_t clock_ = 0;
};

}  // namespace

HeldRecord RecordBatch::Row(size_t i) const {
  const Entry& e = rows_[i];
  const uint8_t* base = reinterpret_cast<const uint8_t*>(bytes_.data());
  HeldRecord row;
  row.oid = e.oid;
  row.key = e.key_size > 0 ? base + e.key : kNothing;
  row.key_size = e.key_size;
  row.props = e.props_size > 0 ? base + e.props : kNothing;
  row.props_size = e.props_size;
  return row;
}

bool RecordBatch::Add(CEOID oid, const uint8_t* key, size_t key_size, const uint8_t* props,
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
  cut_ = bytes_.size() >= kMaxBytes;
  return !cut_;
}

bool ReadAhead::Ready() const {
  return Holding() && Store::Instance().Fresh(batch_->stamp());
}

bool ReadAhead::AtTheEnd() const {
  return batch_ != nullptr && batch_->size() > 0 && next_ >= batch_->size() &&
         batch_->ReachedTheEnd() && Store::Instance().Fresh(batch_->stamp());
}

void ReadAhead::Clear() {
  batch_.reset();
  next_ = 0;
}

void ReadAhead::Took(std::shared_ptr<const RecordBatch> batch) {
  batch_ = std::move(batch);
  next_ = 0;
  if (rows_wanted_ < kMaxRows) rows_wanted_ *= 2;
}

bool ReadAhead::Share(const ReadQuery& query) {
  if (!Shareable(query)) return false;
  std::shared_ptr<const RecordBatch> shared = SharedBatches::For(query).Find(query);
  if (shared == nullptr) return false;
  Took(std::move(shared));
  g_shared.fetch_add(1, std::memory_order_relaxed);
  return true;
}

uint64_t ReadAhead::shared_count() { return g_shared.load(std::memory_order_relaxed); }

Result ReadAhead::Fill(Connection* connection, const ReadQuery& query, const StoreStamp& stamp) {
  Clear();
  auto batch = std::make_shared<RecordBatch>(stamp, query.limit);
  Result result = connection->ReadRecords(query, batch.get());
  if (result != Result::kOk) return result;
  if (Shareable(query)) SharedBatches::For(query).Keep(query, batch);
  Took(std::move(batch));
  return Result::kOk;
}

}  // namespace store
}  // namespace ceplatform
