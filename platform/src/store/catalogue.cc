#include "catalogue.h"

#include <pthread.h>
#include <string.h>

#include <algorithm>
#include <mutex>
#include <unordered_map>

namespace ceplatform {
namespace store {
namespace {

// The names looked up lately. A full table starts afresh: a name costs one
// indexed query to look up again.
constexpr size_t kMaxNames = 4096;

class NameTable {
 public:
  static NameTable& Instance() {
    static NameTable* table = new NameTable;  // outlives every thread
    return *table;
  }

  std::shared_ptr<const NamedDatabase> Find(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = names_.find(name);
    if (it == names_.end()) return nullptr;
    if (!Store::Instance().DatabasesFresh(it->second->stamp)) return nullptr;
    return it->second;
  }

  void Keep(const std::string& name, const std::shared_ptr<const NamedDatabase>& found) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (names_.size() >= kMaxNames) names_.clear();
    names_[name] = found;
  }

 private:
  NameTable() {
    // A child process must not inherit the mutex held by another thread of
    // its parent. (The child's generation changes at fork, so what the table
    // holds is stale there.)
    pthread_atfork([] { Instance().mutex_.lock(); }, [] { Instance().mutex_.unlock(); },
                   [] { Instance().mutex_.unlock(); });
  }

  std::mutex mutex_;
  std::unordered_map<std::string, std::shared_ptr<const NamedDatabase>> names_;
};

// The rows the calling thread's enumeration read last, and where in them it
// last found a database it was asked to describe.
thread_local std::shared_ptr<const DatabaseBatch> t_enumerated;
thread_local size_t t_described = 0;

// Keeps the one row a lookup found.
class OneRow : public DatabaseSink {
 public:
  void Add(DatabaseRow&& row) override {
    found = true;
    entry = DatabaseEntry::From(std::move(row));
  }
  bool found = false;
  DatabaseEntry entry;
};

// Runs `lookup` on a connection of the store; false with *error (logged
// under `call`) when the store cannot be read.
template <typename Lookup>
bool WithConnection(const char* call, DWORD* error, Lookup lookup) {
  ConnectionLease lease(call, ConnectionLease::kRead);
  Connection* connection = lease.get();
  if (connection == nullptr) {
    *error = lease.error();
    return false;
  }
  Result result = lookup(connection);
  if (result != Result::kOk) {
    LogStoreFailure(call, result, connection->LastMessage());
    *error = ReadError(result);
    return false;
  }
  return true;
}

}  // namespace

DatabaseEntry DatabaseEntry::From(DatabaseRow&& row) {
  DatabaseEntry e;
  e.oid = row.oid;
  e.name = std::move(row.name);
  e.type = row.type;
  e.flags = row.flags;
  e.sound = e.name.size() % 2 == 0 && e.sorts.Decode(row.sorts);
  e.modified = row.modified;
  e.records = row.records;
  e.size = row.size;
  return e;
}

bool DatabaseEntry::Describe(CEDBASEINFO* info) const {
  memset(info, 0, sizeof(*info));
  if (!sound || name.empty() || name.size() >= sizeof(info->szDbaseName)) return false;
  memcpy(info->szDbaseName, name.data(), name.size());
  info->dwFlags = CEDB_VALIDNAME | CEDB_VALIDTYPE | CEDB_VALIDSORTSPEC | CEDB_VALIDMODTIME |
                  CEDB_VALIDDBFLAGS | (flags & 0xFFFF0000u);
  info->dwDbaseType = type;
  uint64_t time = static_cast<uint64_t>(modified);
  info->ftLastModified.dwLowDateTime = static_cast<DWORD>(time);
  info->ftLastModified.dwHighDateTime = static_cast<DWORD>(time >> 32);
  // The fields are 16 and 32 bits wide: larger counts saturate.
  info->wNumRecords = static_cast<WORD>(records < 0 ? 0 : records > 0xFFFF ? 0xFFFF : records);
  info->dwSize = static_cast<DWORD>(size < 0 ? 0 : size > 0xFFFFFFFFll ? 0xFFFFFFFFll : size);
  info->wNumSortOrder = sorts.count;
  memcpy(info->rgSortSpecs, sorts.specs, sizeof(info->rgSortSpecs));
  return true;
}

void DatabaseBatch::Add(DatabaseRow&& row) { entries_.push_back(DatabaseEntry::From(std::move(row))); }

const DatabaseEntry* DatabaseBatch::Find(CEOID oid, size_t* hint) const {
  if (hint != nullptr) {
    for (size_t i = *hint; i < entries_.size() && i <= *hint + 1; ++i) {
      if (entries_[i].oid == oid) {
        *hint = i;
        return &entries_[i];
      }
    }
  }
  auto it = std::lower_bound(entries_.begin(), entries_.end(), oid,
                             [](const DatabaseEntry& e, CEOID o) { return e.oid < o; });
  if (it == entries_.end() || it->oid != oid) return nullptr;
  if (hint != nullptr) *hint = static_cast<size_t>(it - entries_.begin());
  return &*it;
}

std::shared_ptr<const NamedDatabase> DatabaseNamed(const char* call, const std::string& name,
                                                   DWORD* error) {
  std::shared_ptr<const NamedDatabase> known = NameTable::Instance().Find(name);
  if (known != nullptr) return known;
  auto named = std::make_shared<NamedDatabase>();
  named->stamp = Store::Instance().Stamp();
  OneRow row;
  if (!WithConnection(call, error, [&](Connection* c) { return c->DatabaseByName(name, &row); })) {
    return nullptr;
  }
  named->found = row.found;
  named->entry = std::move(row.entry);
  NameTable::Instance().Keep(name, named);
  return named;
}

const DatabaseEntry* DatabaseWithOid(const char* call, CEOID oid, DatabaseEntry* storage,
                                     DWORD* error) {
  *error = 0;
  const DatabaseBatch* recent = t_enumerated.get();
  if (recent != nullptr && Store::Instance().Fresh(recent->stamp())) {
    if (const DatabaseEntry* known = recent->Find(oid, &t_described)) return known;
  }
  OneRow row;
  if (!WithConnection(call, error, [&](Connection* c) { return c->DatabaseByOid(oid, &row); })) {
    return nullptr;
  }
  if (!row.found) return nullptr;
  *storage = std::move(row.entry);
  return storage;
}

std::shared_ptr<const DatabaseBatch> ReadDatabasesAfter(const char* call, CEOID after,
                                                        DWORD type, int limit, DWORD* error) {
  auto batch = std::make_shared<DatabaseBatch>(Store::Instance().Stamp(), limit);
  if (!WithConnection(call, error, [&](Connection* c) {
        return c->DatabasesAfter(after, type, limit, batch.get());
      })) {
    return nullptr;
  }
  t_enumerated = batch;
  t_described = 0;
  return batch;
}

}  // namespace store
}  // namespace ceplatform
