#include "handle_table.h"

#include <mutex>
#include <new>
#include <unordered_map>

#include "ceplatform.h"
#include "wince_kernel.h"

namespace ceplatform {
namespace {

constexpr uintptr_t kFirstHandle = 0x100;
constexpr uintptr_t kHandleStep = 4;
// Handles stay printable as positive 32-bit values.
constexpr uintptr_t kLastHandle = 0x7FFFFFF0;

struct Table {
  std::mutex mutex;
  uintptr_t next = kFirstHandle;
  std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> objects;
};

Table& TheTable() {
  static Table* table = new Table();  // never destroyed: handles may outlive static teardown
  return *table;
}

}  // namespace

HANDLE HandleInsert(std::shared_ptr<KernelObject> object) {
  Table& table = TheTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  if (!object || table.next > kLastHandle) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  uintptr_t value = table.next;
  try {
    table.objects.emplace(value, std::move(object));
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  table.next += kHandleStep;
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> HandleLookup(HANDLE handle, KernelObject::Kind kind) {
  Table& table = TheTable();
  {
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it != table.objects.end() && it->second->kind() == kind) return it->second;
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

BOOL HandleClose(HANDLE handle) {
  std::shared_ptr<KernelObject> object;
  Table& table = TheTable();
  {
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == table.objects.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    object = std::move(it->second);
    table.objects.erase(it);
  }
  // Released outside the lock: a file's descriptor is closed by its destructor.
  object.reset();
  return TRUE;
}

long HandleOpenCount() {
  Table& table = TheTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  return static_cast<long>(table.objects.size());
}

}  // namespace ceplatform

extern "C" BOOL CloseHandle(HANDLE handle) { return ceplatform::HandleClose(handle); }

extern "C" long PlatformOpenHandles(void) { return ceplatform::HandleOpenCount(); }
