#include "store_call.h"

#include <string.h>

namespace ceplatform {
namespace store {
namespace {

void AppendU32(std::string* out, uint32_t v) {
  char b[4] = {static_cast<char>(v), static_cast<char>(v >> 8),
               static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
  out->append(b, 4);
}

uint32_t ReadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

void SortOrders::Encode(std::string* bytes) const {
  bytes->clear();
  for (WORD i = 0; i < count; ++i) {
    AppendU32(bytes, specs[i].propid);
    AppendU32(bytes, specs[i].dwFlags);
  }
}

bool SortOrders::Decode(const std::string& bytes) {
  size_t size = bytes.size();
  if (size % 8 != 0 || size / 8 > CEDB_MAXSORTORDER) return false;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(bytes.data());
  count = static_cast<WORD>(size / 8);
  for (WORD i = 0; i < CEDB_MAXSORTORDER; ++i) {
    specs[i].propid = i < count ? ReadU32(p + 8 * i) : 0;
    specs[i].dwFlags = i < count ? ReadU32(p + 8 * i + 4) : 0;
  }
  return true;
}

std::shared_ptr<DatabaseHandle> LookupDatabase(HANDLE handle) {
  std::shared_ptr<KernelObject> object = HandleLookup(handle, KernelObject::Kind::kDatabase);
  if (object == nullptr) return nullptr;  // ERROR_INVALID_HANDLE is set
  auto database = std::static_pointer_cast<DatabaseHandle>(object);
  if (database->generation() != Store::Instance().generation()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return database;
}

std::shared_ptr<DatabaseEnumeration> LookupEnumeration(HANDLE handle) {
  std::shared_ptr<KernelObject> object =
      HandleLookup(handle, KernelObject::Kind::kDatabaseEnum);
  if (object == nullptr) return nullptr;
  auto enumeration = std::static_pointer_cast<DatabaseEnumeration>(object);
  if (enumeration->generation() != Store::Instance().generation()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return enumeration;
}

bool IsSystemVolume(const CEGUID* volume) {
  return volume == nullptr || (volume->Data1 == 0 && volume->Data2 == 0 &&
                               volume->Data3 == 0 && volume->Data4 == 0);
}

bool DatabaseNameLength(const WCHAR* name, size_t* units) {
  for (size_t i = 0; i < CEDB_MAXDBASENAMELEN; ++i) {
    if (name[i] == 0) {
      *units = i;
      return i != 0;
    }
  }
  return false;
}

int64_t FileTimeNow() {
  SYSTEMTIME now;
  FILETIME time = {0, 0};
  GetSystemTime(&now);
  SystemTimeToFileTime(&now, &time);
  return static_cast<int64_t>(static_cast<uint64_t>(time.dwHighDateTime) << 32 |
                              time.dwLowDateTime);
}

}  // namespace store
}  // namespace ceplatform
