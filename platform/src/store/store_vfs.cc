#include "store_vfs.h"

#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <mutex>
#include <new>
#include <vector>

#include "ceplatform.h"
#include "wince_kernel.h"

namespace ceplatform {
namespace store {
namespace {

// Names once set stay allocated (and reachable from `kept`): a connection
// being opened may still read the previous one.
std::atomic<const char*> vfs_name{nullptr};
std::mutex kept_mutex;
std::vector<char*>* kept = new std::vector<char*>();

// A lasting copy of `name`; nullptr when memory runs out.
const char* Keep(const char* name) {
  std::lock_guard<std::mutex> lock(kept_mutex);
  for (char* known : *kept) {
    if (strcmp(known, name) == 0) return known;
  }
  char* copy = strdup(name);
  if (copy == nullptr) return nullptr;
  try {
    kept->push_back(copy);
  } catch (const std::bad_alloc&) {
    free(copy);
    return nullptr;
  }
  return copy;
}

}  // namespace

const char* StoreVfsName() { return vfs_name.load(std::memory_order_acquire); }

}  // namespace store
}  // namespace ceplatform

extern "C" BOOL PlatformSetStoreVfs(const char* name) {
  const char* copy = nullptr;
  if (name != nullptr) {
    copy = ceplatform::store::Keep(name);
    if (copy == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return FALSE;
    }
  }
  ceplatform::store::vfs_name.store(copy, std::memory_order_release);
  PlatformCloseStore();
  return TRUE;
}
