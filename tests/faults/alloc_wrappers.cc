// Linked into the test builds of the plug-ins with -Wl,--wrap for each of
// these symbols: the plug-ins' malloc, calloc, free, new (nothrow) and delete
// come here, consult the countdown, and go on to the C library.
#include <stdlib.h>

#include <new>

#include "alloc_countdown.h"

extern "C" {

void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void __real_free(void* block);

void* __wrap_malloc(size_t size) {
  if (AllocFaultTake()) return nullptr;
  void* block = __real_malloc(size);
  if (block != nullptr) AllocFaultCount(1);
  return block;
}

// Called only where the compiler joined a malloc and a memset to zero.
void* __wrap_calloc(size_t count, size_t size) {
  if (AllocFaultTake()) return nullptr;
  void* block = __real_calloc(count, size);
  if (block != nullptr) AllocFaultCount(1);
  return block;
}

void __wrap_free(void* block) {
  if (block != nullptr) AllocFaultCount(-1);
  __real_free(block);
}

// operator new(size_t, const std::nothrow_t&) and the deletes that match it.
void* __real__ZnwmRKSt9nothrow_t(size_t size, const std::nothrow_t& tag);
void __real__ZdlPvRKSt9nothrow_t(void* block, const std::nothrow_t& tag);
void __real__ZdlPvm(void* block, size_t size);

void* __wrap__ZnwmRKSt9nothrow_t(size_t size, const std::nothrow_t& tag) {
  if (AllocFaultTake()) return nullptr;
  void* block = __real__ZnwmRKSt9nothrow_t(size, tag);
  if (block != nullptr) AllocFaultCount(1);
  return block;
}

void __wrap__ZdlPvRKSt9nothrow_t(void* block, const std::nothrow_t& tag) {
  if (block != nullptr) AllocFaultCount(-1);
  __real__ZdlPvRKSt9nothrow_t(block, tag);
}

void __wrap__ZdlPvm(void* block, size_t size) {
  if (block != nullptr) AllocFaultCount(-1);
  __real__ZdlPvm(block, size);
}

}  // extern "C"
