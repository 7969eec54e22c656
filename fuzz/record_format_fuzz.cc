// The store's record format. The input is read twice: as a stored record
// straight from a (possibly damaged) store file, and as a recipe for one
// record write (a property count, then per property a type-and-flags byte, a
// property number and the value's bytes).
//
// Properties: stored bytes are accepted or refused, never read past their
// end, and accepted bytes serialize back to themselves; a record written
// through CeWriteRecordProps reads back, whole and by identifier, exactly as
// a model of the write says (a value replaces the property of the same
// identifier, CEDB_PROPDELETE removes it, CEDB_PROPNOTFOUND is passed over);
// and no heap block or handle is left behind.
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ceplatform.h"
#include "fuzz_check.h"
#include "record_format.h"
#include "wince.h"

namespace {

using ceplatform::store::ParseRecord;
using ceplatform::store::RecordLayout;
using ceplatform::store::SerializeRecord;
using ceplatform::store::StoredProperty;

const WORD kTypes[] = {CEVT_I2,  CEVT_UI2,    CEVT_I4,       CEVT_UI4, CEVT_BOOL,
                       CEVT_R8,  CEVT_LPWSTR, CEVT_FILETIME, CEVT_BLOB};
const WCHAR kDatabase[] = {'f', 'u', 'z', 'z', 0};

// Reads the recipe's bytes in turn; 0 once they run out.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::string Bytes(size_t n) {
    std::string out;
    while (n-- > 0) out += static_cast<char>(Byte());
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// One property of the model: its identifier and the bytes a read hands out
// (a string's units without the terminator).
struct ModelProperty {
  CEPROPID propid;
  std::string bytes;
};

// The bytes of a value as the model keeps them.
std::string ValueBytes(const CEPROPVAL& value) {
  switch (TypeFromPropID(value.propid)) {
    case CEVT_I2:
    case CEVT_UI2:
      return std::string(reinterpret_cast<const char*>(&value.val.iVal), 2);
    case CEVT_I4:
    case CEVT_UI4:
    case CEVT_BOOL:
      return std::string(reinterpret_cast<const char*>(&value.val.lVal), 4);
    case CEVT_R8:
    case CEVT_FILETIME:
      return std::string(reinterpret_cast<const char*>(&value.val.filetime), 8);
    case CEVT_LPWSTR: {
      size_t units = 0;
      while (value.val.lpwstr[units] != 0) units++;
      return std::string(reinterpret_cast<const char*>(value.val.lpwstr), units * 2);
    }
    default:
      return std::string(reinterpret_cast<const char*>(value.val.blob.lpb), value.val.blob.dwCount);
  }
}

// The stored bytes as found in a file: accepted or refused within bounds.
void CheckStoredBytes(const uint8_t* data, size_t size) {
  std::vector<uint8_t> copy(data, data + size);
  std::vector<StoredProperty> properties;
  if (!ParseRecord(copy.data(), copy.size(), &properties)) return;
  std::string again;
  SerializeRecord(properties, &again);
  FUZZ_CHECK(again == std::string(reinterpret_cast<const char*>(data), size));
  RecordLayout layout(copy.data(), copy.size(), nullptr, 0);
  if (!layout.Measure()) return;
  FUZZ_CHECK(layout.count() == properties.size());
  std::vector<uint8_t> buffer(layout.needed());
  layout.Fill(buffer.data());
  const CEPROPVAL* values = reinterpret_cast<const CEPROPVAL*>(buffer.data());
  for (size_t i = 0; i < properties.size(); i++) {
    FUZZ_CHECK(values[i].propid == properties[i].propid);
    WORD type = TypeFromPropID(values[i].propid);
    if (type == CEVT_BLOB) {
      const uint8_t* bytes = values[i].val.blob.lpb;
      FUZZ_CHECK(values[i].val.blob.dwCount == properties[i].size);
      FUZZ_CHECK(properties[i].size == 0 ||
                 (bytes >= buffer.data() && bytes + properties[i].size + 2 <= buffer.data() + buffer.size()));
    } else if (type == CEVT_LPWSTR) {
      const uint8_t* bytes = reinterpret_cast<const uint8_t*>(values[i].val.lpwstr);
      FUZZ_CHECK(bytes >= buffer.data() && bytes + properties[i].size <= buffer.data() + buffer.size());
    }
  }
}

// Reads the record at the start of `database` with `ids` (NULL: every
// property) and compares it with `expected`.
void CheckRead(HANDLE database, CEOID oid, CEPROPID* ids, WORD idCount,
               const std::vector<ModelProperty>& expected) {
  WORD count = idCount;
  LPBYTE buffer = nullptr;
  DWORD bufferSize = 0;
  CEOID read = CeReadRecordProps(database, CEDB_ALLOWREALLOC, &count, ids, &buffer, &bufferSize);
  FUZZ_CHECK(read == oid);
  FUZZ_CHECK(count == (ids != nullptr ? idCount : expected.size()));
  const CEPROPVAL* values = reinterpret_cast<const CEPROPVAL*>(buffer);
  for (size_t i = 0; i < expected.size(); i++) {
    FUZZ_CHECK(values[i].propid == expected[i].propid);
    FUZZ_CHECK(values[i].wFlags == 0);
    FUZZ_CHECK(ValueBytes(values[i]) == expected[i].bytes);
  }
  for (size_t i = expected.size(); i < count; i++) {
    FUZZ_CHECK(values[i].wFlags == CEDB_PROPNOTFOUND);
  }
  LocalFree(buffer);
}

// Writes the recipe's record through the store and reads it back.
void CheckWrite(const uint8_t* data, size_t size) {
  Reader in(data, size);
  WORD count = in.Byte() % 12;
  std::vector<CEPROPVAL> values(count == 0 ? 1 : count);
  std::vector<std::u16string> strings(values.size());
  std::vector<std::string> blobs(values.size());
  std::vector<ModelProperty> model;
  for (WORD i = 0; i < count; i++) {
    uint8_t kind = in.Byte();
    WORD type = kTypes[(kind & 0x0F) % 9];
    CEPROPVAL& value = values[i];
    memset(&value, 0, sizeof(value));
    value.propid = MAKEPROPID(in.Byte() % 8 + 1, type);
    value.wFlags = (kind >> 4) >= 14 ? CEDB_PROPNOTFOUND : (kind >> 4) >= 12 ? CEDB_PROPDELETE : 0;
    if (type == CEVT_LPWSTR) {
      size_t units = in.Byte() % 48;
      for (size_t u = 0; u < units; u++) strings[i] += static_cast<char16_t>(in.Byte() | in.Byte() << 8);
      value.val.lpwstr = reinterpret_cast<LPWSTR>(&strings[i][0]);
    } else if (type == CEVT_BLOB) {
      size_t bytes = (in.Byte() | in.Byte() << 8) % 1024;
      blobs[i] = in.Bytes(bytes);
      value.val.blob.dwCount = static_cast<DWORD>(bytes);
      value.val.blob.lpb = reinterpret_cast<LPBYTE>(&blobs[i][0]);
    } else {
      std::string bytes = in.Bytes(8);
      memcpy(&value.val, bytes.data(), 8);
    }
    if (value.wFlags == CEDB_PROPNOTFOUND) continue;
    size_t found = 0;
    while (found < model.size() && model[found].propid != value.propid) found++;
    if (value.wFlags == CEDB_PROPDELETE) {
      if (found < model.size()) model.erase(model.begin() + found);
    } else if (found < model.size()) {
      model[found].bytes = ValueBytes(value);
    } else {
      model.push_back({value.propid, ValueBytes(value)});
    }
  }

  CEOID dboid = 0;
  HANDLE database = CeOpenDatabaseEx(nullptr, &dboid, const_cast<LPWSTR>(kDatabase), 0, 0, nullptr);
  FUZZ_CHECK(database != INVALID_HANDLE_VALUE);
  CEOID oid = CeWriteRecordProps(database, 0, count, values.data());
  if (count == 0) {
    FUZZ_CHECK(oid == 0 && GetLastError() == ERROR_INVALID_PARAMETER);
  } else {
    FUZZ_CHECK(oid != 0);
    // A record whose every value was passed over or removed holds nothing.
    CheckRead(database, oid, nullptr, 0, model);
    CloseHandle(database);
    database = CeOpenDatabaseEx(nullptr, &dboid, nullptr, 0, 0, nullptr);
    FUZZ_CHECK(database != INVALID_HANDLE_VALUE);
    if (!model.empty()) {
      std::vector<CEPROPID> ids;
      for (const ModelProperty& p : model) ids.push_back(p.propid);
      ids.push_back(MAKEPROPID(100, CEVT_I4));  // never written
      CheckRead(database, oid, ids.data(), static_cast<WORD>(ids.size()), model);
    }
    FUZZ_CHECK(CeDeleteRecord(database, oid));
  }
  CloseHandle(database);
}

std::filesystem::path store;

void RemoveStore() {
  PlatformCloseStore();
  std::error_code ignored;
  for (const char* suffix : {"", "-wal", "-shm"}) {
    std::filesystem::remove(store.string() + suffix, ignored);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  store = std::filesystem::temp_directory_path() /
                                ("corkwall-fuzz-record-" + std::to_string(getpid()) + ".db");
  std::error_code ignored;
  std::filesystem::remove(store, ignored);
  PlatformSetStorePath(store.c_str());
  atexit(RemoveStore);
  CEDBASEINFO info;
  memset(&info, 0, sizeof(info));
  info.dwFlags = CEDB_VALIDNAME;
  memcpy(info.szDbaseName, kDatabase, sizeof(kDatabase));
  if (CeCreateDatabaseEx(nullptr, &info) == 0) {
    fprintf(stderr, "cannot create the database in %s\n", store.c_str());
    exit(2);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  long blocks = PlatformLiveHeapBlocks();
  long handles = PlatformOpenHandles();
  CheckStoredBytes(data, size);
  CheckWrite(data, size);
  FUZZ_CHECK(PlatformLiveHeapBlocks() == blocks);
  FUZZ_CHECK(PlatformOpenHandles() == handles);
  return 0;
}
