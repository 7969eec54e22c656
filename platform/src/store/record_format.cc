#include "record_format.h"

#include <string.h>

#include "wince_kernel.h"

// Fixed-size values are copied as the bytes of the CEVALUNION member, which
// makes the stored form little-endian only on a little-endian host.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the record format assumes a little-endian host");

namespace ceplatform {
namespace store {
namespace {

constexpr uint8_t kKeyLow = 0x00;
constexpr uint8_t kKeyValue = 0x01;
constexpr uint8_t kKeyHigh = 0x02;
constexpr size_t kBlobPadding = 2;  // zero bytes after each BLOB in a read

// The stored size of a fixed-size type; 0 for strings and BLOBs.
uint32_t FixedSize(WORD type) {
  switch (type) {
    case CEVT_I2:
    case CEVT_UI2:
      return 2;
    case CEVT_I4:
    case CEVT_UI4:
    case CEVT_BOOL:
      return 4;
    case CEVT_R8:
    case CEVT_FILETIME:
      return 8;
    default:
      return 0;
  }
}

uint32_t ReadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void AppendU32(std::string* out, uint32_t v) {
  char b[4] = {static_cast<char>(v), static_cast<char>(v >> 8),
               static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
  out->append(b, 4);
}

void AppendBigEndian64(std::string* out, uint64_t v) {
  char b[8];
  for (int i = 0; i < 8; ++i) b[i] = static_cast<char>(v >> (56 - 8 * i));
  out->append(b, 8);
}

size_t Align8(size_t n) { return (n + 7) & ~static_cast<size_t>(7); }

// Walks the properties of stored bytes, checking each one.
class PropertyReader {
 public:
  PropertyReader(const uint8_t* bytes, size_t size) : p_(bytes), end_(bytes + size) {}

  // 1: *property is the next one; 0: the end; -1: damaged bytes.
  int Next(StoredProperty* property) {
    if (p_ == end_) return 0;
    if (end_ - p_ < 8) return -1;
    CEPROPID propid = ReadU32(p_);
    uint32_t size = ReadU32(p_ + 4);
    if (static_cast<size_t>(end_ - p_ - 8) < size) return -1;
    WORD type = TypeFromPropID(propid);
    if (!IsKnownType(type)) return -1;
    uint32_t fixed = FixedSize(type);
    if (fixed != 0 && size != fixed) return -1;
    if (type == CEVT_LPWSTR &&
        (size < 2 || size % 2 != 0 || p_[8 + size - 2] != 0 || p_[8 + size - 1] != 0)) {
      return -1;
    }
    property->propid = propid;
    property->data = p_ + 8;
    property->size = size;
    p_ += 8 + static_cast<size_t>(size);
    return 1;
  }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

// Bytes a property takes after the CEPROPVAL array in a read.
size_t DataBytes(const StoredProperty& property) {
  switch (TypeFromPropID(property.propid)) {
    case CEVT_LPWSTR:
      return Align8(property.size);
    case CEVT_BLOB:
      return Align8(static_cast<size_t>(property.size) + kBlobPadding);
    default:
      return 0;
  }
}

// Writes one property into its CEPROPVAL and, for strings and BLOBs, its bytes
// at *data, moving *data on.
void FillValue(const StoredProperty& property, CEPROPVAL* value, uint8_t** data) {
  memset(value, 0, sizeof(*value));
  value->propid = property.propid;
  switch (TypeFromPropID(property.propid)) {
    case CEVT_LPWSTR:
      memcpy(*data, property.data, property.size);
      value->val.lpwstr = reinterpret_cast<LPWSTR>(*data);
      break;
    case CEVT_BLOB:
      if (property.size != 0) memcpy(*data, property.data, property.size);
      memset(*data + property.size, 0, kBlobPadding);
      value->val.blob.dwCount = property.size;
      value->val.blob.lpb = *data;
      break;
    default:
      memcpy(&value->val, property.data, property.size);
      break;
  }
  *data += DataBytes(property);
}

}  // namespace

bool IsKnownType(WORD type) {
  switch (type) {
    case CEVT_I2:
    case CEVT_UI2:
    case CEVT_I4:
    case CEVT_UI4:
    case CEVT_BOOL:
    case CEVT_R8:
    case CEVT_FILETIME:
    case CEVT_LPWSTR:
    case CEVT_BLOB:
      return true;
    default:
      return false;
  }
}

DWORD CheckValues(WORD count, const CEPROPVAL* values) {
  if (count == 0 || values == nullptr) return ERROR_INVALID_PARAMETER;
  for (WORD i = 0; i < count; ++i) {
    const CEPROPVAL& v = values[i];
    if (!IsKnownType(TypeFromPropID(v.propid))) return ERROR_INVALID_PARAMETER;
    if (v.wFlags & (CEDB_PROPDELETE | CEDB_PROPNOTFOUND)) continue;
    WORD type = TypeFromPropID(v.propid);
    if (type == CEVT_LPWSTR && v.val.lpwstr == nullptr) return ERROR_INVALID_PARAMETER;
    if (type == CEVT_BLOB && v.val.blob.dwCount != 0 && v.val.blob.lpb == nullptr) {
      return ERROR_INVALID_PARAMETER;
    }
  }
  return 0;
}

bool ParseRecord(const uint8_t* bytes, size_t size,
                 std::vector<StoredProperty>* properties) {
  properties->clear();
  PropertyReader reader(bytes, size);
  StoredProperty property;
  int more;
  while ((more = reader.Next(&property)) == 1) properties->push_back(property);
  return more == 0;
}

void MergeValues(WORD count, const CEPROPVAL* values,
                 std::vector<StoredProperty>* properties) {
  for (WORD i = 0; i < count; ++i) {
    const CEPROPVAL& v = values[i];
    if (v.wFlags & CEDB_PROPNOTFOUND) continue;
    size_t at = 0;
    while (at < properties->size() && (*properties)[at].propid != v.propid) ++at;
    if (v.wFlags & CEDB_PROPDELETE) {
      if (at < properties->size()) properties->erase(properties->begin() + at);
      continue;
    }
    StoredProperty property;
    property.propid = v.propid;
    WORD type = TypeFromPropID(v.propid);
    if (type == CEVT_LPWSTR) {
      size_t units = 0;
      while (v.val.lpwstr[units] != 0) ++units;
      property.data = reinterpret_cast<const uint8_t*>(v.val.lpwstr);
      property.size = static_cast<uint32_t>((units + 1) * sizeof(WCHAR));
    } else if (type == CEVT_BLOB) {
      property.data = v.val.blob.lpb;
      property.size = v.val.blob.dwCount;
    } else {
      property.data = reinterpret_cast<const uint8_t*>(&v.val);
      property.size = FixedSize(type);
    }
    if (at < properties->size()) {
      (*properties)[at] = property;
    } else {
      properties->push_back(property);
    }
  }
}

void SerializeRecord(const std::vector<StoredProperty>& properties, std::string* bytes) {
  size_t total = 0;
  for (const StoredProperty& p : properties) total += 8 + static_cast<size_t>(p.size);
  bytes->clear();
  bytes->reserve(total);
  for (const StoredProperty& p : properties) {
    AppendU32(bytes, p.propid);
    AppendU32(bytes, p.size);
    if (p.size != 0) bytes->append(reinterpret_cast<const char*>(p.data), p.size);
  }
}

void SortKey(const SORTORDERSPEC& spec, const std::vector<StoredProperty>& properties,
             std::string* key) {
  key->clear();
  const StoredProperty* found = nullptr;
  for (const StoredProperty& p : properties) {
    if (p.propid == spec.propid) {
      found = &p;
      break;
    }
  }
  if (found == nullptr) {
    bool descending = (spec.dwFlags & CEDB_SORT_DESCENDING) != 0;
    bool unknownFirst = (spec.dwFlags & CEDB_SORT_UNKNOWNFIRST) != 0;
    // The first key in the order's direction is the lowest when ascending.
    key->push_back(static_cast<char>(descending == unknownFirst ? kKeyHigh : kKeyLow));
    return;
  }
  key->push_back(static_cast<char>(kKeyValue));
  const uint8_t* d = found->data;
  constexpr uint64_t kSign = 1ull << 63;
  switch (TypeFromPropID(found->propid)) {
    case CEVT_I2: {
      int16_t v;
      memcpy(&v, d, 2);
      AppendBigEndian64(key, static_cast<uint64_t>(static_cast<int64_t>(v)) ^ kSign);
      break;
    }
    case CEVT_UI2: {
      uint16_t v;
      memcpy(&v, d, 2);
      AppendBigEndian64(key, v);
      break;
    }
    case CEVT_I4:
    case CEVT_BOOL: {
      int32_t v;
      memcpy(&v, d, 4);
      AppendBigEndian64(key, static_cast<uint64_t>(static_cast<int64_t>(v)) ^ kSign);
      break;
    }
    case CEVT_UI4: {
      uint32_t v;
      memcpy(&v, d, 4);
      AppendBigEndian64(key, v);
      break;
    }
    case CEVT_FILETIME: {
      uint64_t v;
      memcpy(&v, d, 8);
      AppendBigEndian64(key, v);
      break;
    }
    case CEVT_R8: {
      uint64_t bits;
      memcpy(&bits, d, 8);
      AppendBigEndian64(key, (bits & kSign) ? ~bits : bits | kSign);
      break;
    }
    case CEVT_LPWSTR: {
      bool fold = (spec.dwFlags & CEDB_SORT_CASEINSENSITIVE) != 0;
      for (uint32_t i = 0; i + 2 < found->size; i += 2) {
        uint16_t unit = static_cast<uint16_t>(d[i] | d[i + 1] << 8);
        if (fold && unit >= 'a' && unit <= 'z') unit = static_cast<uint16_t>(unit - 'a' + 'A');
        key->push_back(static_cast<char>(unit >> 8));
        key->push_back(static_cast<char>(unit & 0xFF));
      }
      break;
    }
    default:  // CEVT_BLOB: the bytes as they are
      key->append(reinterpret_cast<const char*>(d), found->size);
      break;
  }
}

bool RecordLayout::Find(CEPROPID propid, StoredProperty* property) const {
  PropertyReader reader(bytes_, size_);
  while (reader.Next(property) == 1) {
    if (property->propid == propid) return true;
  }
  return false;
}

bool RecordLayout::Measure() {
  PropertyReader reader(bytes_, size_);
  StoredProperty property;
  size_t count = 0;
  size_t data = 0;
  int more;
  while ((more = reader.Next(&property)) == 1) {
    ++count;
    if (ids_ == nullptr) data += DataBytes(property);
  }
  if (more < 0) return false;
  if (ids_ != nullptr) {
    count = id_count_;
    for (WORD i = 0; i < id_count_; ++i) {
      if (Find(ids_[i], &property)) data += DataBytes(property);
    }
  }
  if (count > 0xFFFF) return false;
  size_t needed = count * sizeof(CEPROPVAL) + data;
  if (needed > 0xFFFFFFFFu) return false;  // *bufferSize is 32 bits
  count_ = static_cast<WORD>(count);
  needed_ = needed;
  return true;
}

void RecordLayout::Fill(uint8_t* buffer) const {
  CEPROPVAL* values = reinterpret_cast<CEPROPVAL*>(buffer);
  uint8_t* data = buffer + static_cast<size_t>(count_) * sizeof(CEPROPVAL);
  StoredProperty property;
  if (ids_ == nullptr) {
    PropertyReader reader(bytes_, size_);
    for (WORD i = 0; i < count_ && reader.Next(&property) == 1; ++i) {
      FillValue(property, &values[i], &data);
    }
    return;
  }
  for (WORD i = 0; i < id_count_; ++i) {
    if (Find(ids_[i], &property)) {
      FillValue(property, &values[i], &data);
    } else {
      memset(&values[i], 0, sizeof(values[i]));
      values[i].propid = ids_[i];
      values[i].wFlags = CEDB_PROPNOTFOUND;
    }
  }
}

}  // namespace store
}  // namespace ceplatform
