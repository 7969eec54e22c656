#include "catalogue.h"

#include <pthread.h>
#include <string.h>

#include <algorithm>
#include <mutex>
#include <new>

namespace ceplatform {
namespace store {
namespace {

std::mutex g_mutex;
std::shared_ptr<const Catalogue>* g_current = new std::shared_ptr<const Catalogue>();

// A child process must not inherit the mutex held by another thread of its
// parent; taking it across fork keeps the copy consistent. (The child's
// store generation changes at fork, so the copy is not used there.)
const int g_fork_guard = pthread_atfork([] { g_mutex.lock(); }, [] { g_mutex.unlock(); },
                                        [] { g_mutex.unlock(); });

// Keeps each row of the table as an entry.
class EntrySink : public DatabaseSink {
 public:
  EntrySink(std::vector<Catalogue::Entry>* entries) : entries_(entries) {}
  void Add(DatabaseRow&& row) override {
    Catalogue::Entry e;
    e.oid = row.oid;
    e.name = std::move(row.name);
    e.type = row.type;
    e.flags = row.flags;
    e.sound = e.name.size() % 2 == 0 && e.sorts.Decode(row.sorts);
    e.modified = row.modified;
    e.records = row.records;
    e.size = row.size;
    entries_->push_back(std::move(e));
  }

 private:
  std::vector<Catalogue::Entry>* entries_;
};

}  // namespace

std::shared_ptr<const Catalogue> Catalogue::Current(const char* call, Need need, DWORD* error) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (*g_current != nullptr) {
      const StoreStamp& stamp = (*g_current)->stamp();
      Store& store = Store::Instance();
      if (need == kNames ? store.DatabasesFresh(stamp) : store.Fresh(stamp)) return *g_current;
    }
  }
  StoreStamp stamp = Store::Instance().Stamp();
  auto fresh = std::make_shared<Catalogue>();
  {
    ConnectionLease lease(call, ConnectionLease::kRead);
    Connection* connection = lease.get();
    if (connection == nullptr) {
      *error = lease.error();
      return nullptr;
    }
    Result result = fresh->Load(connection, stamp);
    if (result != Result::kOk) {
      LogStoreFailure(call, result, connection->LastMessage());
      *error = ReadError(result);
      return nullptr;
    }
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  *g_current = fresh;
  return fresh;
}

Result Catalogue::Load(Connection* connection, const StoreStamp& stamp) {
  stamp_ = stamp;
  EntrySink sink(&entries_);
  Result result = connection->LoadDatabases(&sink);
  if (result != Result::kOk) return result;
  for (size_t i = 0; i < entries_.size(); ++i) by_name_.emplace(entries_[i].name, i);
  return Result::kOk;
}

const Catalogue::Entry* Catalogue::ByOid(CEOID oid) const {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), oid,
                             [](const Entry& e, CEOID o) { return e.oid < o; });
  return it != entries_.end() && it->oid == oid ? &*it : nullptr;
}

const Catalogue::Entry* Catalogue::ByName(const WCHAR* name, size_t units) const {
  auto it = by_name_.find(std::string(reinterpret_cast<const char*>(name), units * sizeof(WCHAR)));
  return it != by_name_.end() ? &entries_[it->second] : nullptr;
}

const Catalogue::Entry* Catalogue::After(CEOID last, DWORD type) const {
  auto it = std::upper_bound(entries_.begin(), entries_.end(), last,
                             [](CEOID o, const Entry& e) { return o < e.oid; });
  for (; it != entries_.end(); ++it) {
    if (type == 0 || it->type == type) return &*it;
  }
  return nullptr;
}

bool Catalogue::Describe(const Entry& entry, CEDBASEINFO* info) {
  memset(info, 0, sizeof(*info));
  if (!entry.sound || entry.name.empty() || entry.name.size() >= sizeof(info->szDbaseName)) {
    return false;
  }
  memcpy(info->szDbaseName, entry.name.data(), entry.name.size());
  info->dwFlags = CEDB_VALIDNAME | CEDB_VALIDTYPE | CEDB_VALIDSORTSPEC | CEDB_VALIDMODTIME |
                  CEDB_VALIDDBFLAGS | (entry.flags & 0xFFFF0000u);
  info->dwDbaseType = entry.type;
  uint64_t modified = static_cast<uint64_t>(entry.modified);
  info->ftLastModified.dwLowDateTime = static_cast<DWORD>(modified);
  info->ftLastModified.dwHighDateTime = static_cast<DWORD>(modified >> 32);
  // The fields are 16 and 32 bits wide: larger counts saturate.
  int64_t records = entry.records;
  int64_t size = entry.size;
  info->wNumRecords = static_cast<WORD>(records < 0 ? 0 : records > 0xFFFF ? 0xFFFF : records);
  info->dwSize = static_cast<DWORD>(size < 0 ? 0 : size > 0xFFFFFFFFll ? 0xFFFFFFFFll : size);
  info->wNumSortOrder = entry.sorts.count;
  memcpy(info->rgSortSpecs, entry.sorts.specs, sizeof(info->rgSortSpecs));
  return true;
}

}  // namespace store
}  // namespace ceplatform
