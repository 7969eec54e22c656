// WholeStore on the two backends' connections, opened apart from the
// process's pool.
#include "ceplatform_snapshot.h"

#include <sys/stat.h>
#include <unistd.h>

#include "connection.h"
#include "location_text.h"
#include "record_format.h"
#include "sqlite_connection.h"
#include "store_call.h"
#include "unicode.h"

namespace ceplatform {
namespace {

using store::Connection;
using store::Result;

std::string Failed(Connection* connection, Result result) {
  std::string message = connection->LastMessage();
  if (message.empty()) message = "store failure " + std::to_string(static_cast<int>(result));
  return message;
}

void RemoveFile(const std::string& file) {
  unlink(file.c_str());
  for (const char* suffix : {"-journal", "-wal", "-shm"}) unlink((file + suffix).c_str());
}

class ConnectionStore : public WholeStore {
 public:
  ConnectionStore(Connection* connection, const std::string& location)
      : connection_(connection),
        location_(location),
        shown_(store::PrintableLocation(location)),
        server_(store::IsServerLocation(location.c_str())) {}

  bool server() const override { return server_; }
  const std::string& shown() const override { return shown_; }

  using WholeStore::Read;
  bool Read(SnapshotSink* sink, SnapshotOrder order, std::string* error) override {
    Result result = connection_->ReadSnapshot(sink, order);
    if (result == Result::kOk) return true;
    *error = shown_ + ": " + Failed(connection_.get(), result);
    return false;
  }

  bool Empty(bool* empty, std::string* error) override {
    Result result = connection_->CountContent(empty);
    if (result == Result::kOk) return true;
    *error = shown_ + ": " + Failed(connection_.get(), result);
    return false;
  }

  WriteResult Write(const std::function<bool(SnapshotSink*)>& feed, bool replace,
                    std::string* error) override {
    bool not_empty = false;
    Result result = connection_->WriteSnapshot(feed, replace, &not_empty);
    if (result != Result::kOk) {
      *error = shown_ + ": " + Failed(connection_.get(), result);
      return WriteResult::kFailed;
    }
    return not_empty ? WriteResult::kNotEmpty : WriteResult::kOk;
  }

  bool CheckBackend(std::vector<std::string>* problems, std::string* error) override {
    Result result = connection_->CheckIntegrity(problems);
    if (result == Result::kOk) return true;
    *error = shown_ + ": " + Failed(connection_.get(), result);
    return false;
  }

  bool BackupTo(const std::string& file, std::string* error) override {
    struct stat status;
    if (stat(file.c_str(), &status) == 0 && status.st_size != 0) {
      *error = file + ": exists and is not empty";
      return false;
    }
    bool done = server_ ? BackupFromServer(file, error) : BackupFromFile(file, error);
    if (!done) RemoveFile(file);
    return done;
  }

 private:
  bool BackupFromFile(const std::string& file, std::string* error) {
    auto* sqlite = static_cast<store::SqliteConnection*>(connection_.get());
    Result result = sqlite->BackupInto(file);
    if (result == Result::kOk) return true;
    *error = file + ": " + Failed(sqlite, result);
    return false;
  }

  bool BackupFromServer(const std::string& file, std::string* error) {
    Connection* opened = nullptr;
    std::string message;
    Result result = store::SqliteConnection::Open(file, 0, &opened, &message, true);
    if (result != Result::kOk) {
      *error = file + ": " + message;
      return false;
    }
    std::unique_ptr<Connection> copy(opened);
    std::string read_error;
    bool read = true;
    bool not_empty = false;
    result = copy->WriteSnapshot(
        [&](SnapshotSink* sink) {
          read = Read(sink, &read_error);
          return read;
        },
        false, &not_empty);
    if (!read) {
      *error = read_error;
      return false;
    }
    if (result != Result::kOk || not_empty) {
      *error = file + ": " + (not_empty ? std::string("not empty") : Failed(copy.get(), result));
      return false;
    }
    copy->BeforeClose();
    return true;
  }

  std::unique_ptr<Connection> connection_;
  const std::string location_;
  const std::string shown_;
  const bool server_;
};

}  // namespace

std::unique_ptr<WholeStore> WholeStore::Open(const std::string& location, bool create,
                                             std::string* error) {
  if (location.empty()) {
    *error = "no store named";
    return nullptr;
  }
  Connection* connection = nullptr;
  std::string message;
  Result result = Connection::Open(location, 0, &connection, &message, create);
  if (result != Result::kOk) {
    if (!create && !store::IsServerLocation(location.c_str())) {
      struct stat status;
      if (stat(location.c_str(), &status) != 0) {
        message = "no such file";
      } else if (status.st_size == 0 || result == Result::kCorrupt) {
        message = "not a store file (" + message + ")";
      }
    }
    *error = store::PrintableLocation(location) + ": " + message;
    return nullptr;
  }
  return std::unique_ptr<WholeStore>(new ConnectionStore(connection, location));
}

bool ParseProperties(const std::string& props, std::vector<SnapshotProperty>* out) {
  std::vector<store::StoredProperty> properties;
  out->clear();
  if (!store::ParseRecord(reinterpret_cast<const uint8_t*>(props.data()), props.size(),
                          &properties)) {
    return false;
  }
  for (const store::StoredProperty& property : properties) {
    SnapshotProperty copy;
    copy.propid = property.propid;
    copy.value.assign(reinterpret_cast<const char*>(property.data), property.size);
    out->push_back(std::move(copy));
  }
  return true;
}

bool DecodeSortOrders(const std::string& sorts, std::vector<SnapshotSortOrder>* out) {
  store::SortOrders orders;
  out->clear();
  if (!orders.Decode(sorts)) return false;
  for (WORD i = 0; i < orders.count; ++i) {
    out->push_back(SnapshotSortOrder{orders.specs[i].propid, orders.specs[i].dwFlags});
  }
  return true;
}

bool EncodeSortOrders(const std::vector<SnapshotSortOrder>& sorts, std::string* out) {
  store::SortOrders orders;
  if (sorts.size() > CEDB_MAXSORTORDER) return false;
  for (const SnapshotSortOrder& sort : sorts) {
    orders.specs[orders.count++] = SORTORDERSPEC{sort.propid, sort.flags};
  }
  orders.Encode(out);
  return true;
}

bool MakeSnapshotRecord(const std::vector<SnapshotProperty>& properties,
                        const std::string& sorts, SnapshotRecord* record) {
  store::SortOrders orders;
  if (!orders.Decode(sorts)) return false;
  std::vector<store::StoredProperty> stored;
  for (const SnapshotProperty& property : properties) {
    if (property.value.size() > UINT32_MAX) return false;
    stored.push_back(store::StoredProperty{
        property.propid, reinterpret_cast<const uint8_t*>(property.value.data()),
        static_cast<uint32_t>(property.value.size())});
  }
  store::SerializeRecord(stored, &record->props);
  // Read back as the store reads it: every value of its type's size.
  if (!store::ParseRecord(reinterpret_cast<const uint8_t*>(record->props.data()),
                          record->props.size(), &stored)) {
    return false;
  }
  for (WORD i = 0; i < CEDB_MAXSORTORDER; ++i) {
    if (i < orders.count) {
      store::SortKey(orders.specs[i], stored, &record->keys[i]);
    } else {
      record->keys[i].clear();
    }
  }
  record->key_count = orders.count;
  return true;
}

std::string DatabaseNameUtf8(const std::string& name) {
  std::string out;
  const size_t units = name.size() / 2;
  auto unit = [&](size_t i) {
    return static_cast<uint32_t>(static_cast<uint8_t>(name[2 * i])) |
           static_cast<uint32_t>(static_cast<uint8_t>(name[2 * i + 1])) << 8;
  };
  char bytes[4];
  for (size_t i = 0; i < units; ++i) {
    uint32_t cp = unit(i);
    if (IsHighSurrogate(cp) && i + 1 < units && IsLowSurrogate(unit(i + 1))) {
      cp = CombineSurrogates(cp, unit(i + 1));
      ++i;
    } else if (IsHighSurrogate(cp) || IsLowSurrogate(cp)) {
      cp = 0xFFFD;
    }
    out.append(bytes, EncodeUtf8(cp, bytes));
  }
  if (name.size() % 2 != 0) out.append(bytes, EncodeUtf8(0xFFFD, bytes));
  return out;
}

}  // namespace ceplatform
