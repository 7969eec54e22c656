// The process heap and local memory: one allocator over malloc. Every block
// carries a 16-byte header with its size, so HeapSize can answer and
// HeapReAlloc can zero exactly the part that grew. Counters are atomics, so
// the heap takes no lock of its own.
//
// Buffers that grow a little at a time (the text buffers grow by 512 bytes)
// would be moved and copied by malloc again and again, so a block that has to
// move takes twice the room it had; later growth fits in place. Only the
// requested size is the caller's: HeapSize reports it, and under
// AddressSanitizer the spare room is poisoned, so that a write past the size
// is still caught.
//
// One large block given back is kept for the next large request (see
// KeepOrFree), so that a page many MiB long does not map, fault in and zero
// its memory afresh on every call.
#include <stdlib.h>
#include <string.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define HEAP_POISON(address, bytes) ASAN_POISON_MEMORY_REGION(address, bytes)
#define HEAP_UNPOISON(address, bytes) ASAN_UNPOISON_MEMORY_REGION(address, bytes)
#else
#define HEAP_POISON(address, bytes) ((void)(address), (void)(bytes))
#define HEAP_UNPOISON(address, bytes) ((void)(address), (void)(bytes))
#endif

#include <atomic>
#include <cstdint>

#include "ceplatform.h"
#include "wince_kernel.h"

namespace {

constexpr uint32_t kLiveMagic = 0x43454850;  // "CEHP"
constexpr uint32_t kDeadMagic = 0x44454144;  // "DEAD"

// Keeps the caller's bytes 16-byte aligned, as malloc's are.
struct alignas(16) BlockHeader {
  uint64_t size;      // the caller's bytes
  uint32_t magic;
  uint32_t capacity;  // bytes the block has room for (at least size)
};
static_assert(sizeof(BlockHeader) == 16, "the header is 16 bytes");

// The device's heap is that of a 32-bit process: no block reaches 2 GiB. The
// limit also keeps a wild size from reaching malloc.
constexpr SIZE_T kMaxBlockBytes = 0x7FFFFFFF - sizeof(BlockHeader);

char process_heap_tag;

// The largest block handed out: kMaxBlockBytes, or less under a test limit.
std::atomic<SIZE_T> block_limit{kMaxBlockBytes};

// Allocations still allowed before the injected failure; -1 means no limit.
std::atomic<long> allocations_left{-1};
std::atomic<long> live_blocks{0};

// Takes one allocation from the test budget; false once it is spent.
bool TakeAllocation() {
  long left = allocations_left.load(std::memory_order_relaxed);
  while (left >= 0) {
    if (left == 0) return false;
    if (allocations_left.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
      return true;
    }
  }
  return true;
}

// A block given back with room for at least kSpareLeast and at most
// kSpareMost bytes is kept, one at a time, for the next request that large:
// the owner's catalogue of a store of 40,000 boards is a text of about 20
// MiB, and on a virtual machine faulting its pages in afresh on each call
// cost twice the rest of the call. A larger block goes back to the system
// at once, so the process keeps at most kSpareMost bytes it does not use.
constexpr uint64_t kSpareLeast = 1024 * 1024;
constexpr uint64_t kSpareMost = 32 * 1024 * 1024;
std::atomic<BlockHeader*> spare{nullptr};

// Gives back a block whose magic is dead: kept as the spare when its room
// is in range (the spare it replaces is freed), freed otherwise.
void KeepOrFree(BlockHeader* header) {
  if (header->capacity >= kSpareLeast && header->capacity <= kSpareMost) {
    HEAP_POISON(header + 1, header->capacity);
    header = spare.exchange(header, std::memory_order_acq_rel);
    if (header == nullptr) return;
    HEAP_UNPOISON(header + 1, header->capacity);
  }
  free(header);
}

// The spare block when the request is large and the spare has room for it;
// nullptr otherwise. The taker sets its size and magic.
BlockHeader* TakeSpare(uint64_t bytes) {
  if (bytes < kSpareLeast) return nullptr;
  BlockHeader* header = spare.exchange(nullptr, std::memory_order_acq_rel);
  if (header == nullptr || header->capacity >= bytes) return header;
  KeepOrFree(header);
  return nullptr;
}

BlockHeader* HeaderOf(LPCVOID block) {
  return reinterpret_cast<BlockHeader*>(
      const_cast<char*>(static_cast<const char*>(block)) - sizeof(BlockHeader));
}

// The header of a block this heap handed out, or nullptr (with
// ERROR_INVALID_PARAMETER) for NULL or a pointer that is not a live block.
BlockHeader* CheckedHeader(LPCVOID block) {
  if (block == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  BlockHeader* header = HeaderOf(block);
  if (header->magic != kLiveMagic) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return header;
}

bool IsProcessHeap(HANDLE heap) {
  if (heap == &process_heap_tag) return true;
  SetLastError(ERROR_INVALID_HANDLE);
  return false;
}

LPVOID Allocate(SIZE_T bytes, bool zero) {
  if (bytes > block_limit.load(std::memory_order_relaxed) || !TakeAllocation()) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  BlockHeader* header = TakeSpare(bytes);
  if (header != nullptr) {
    HEAP_UNPOISON(header + 1, bytes);
    if (zero) memset(header + 1, 0, bytes);
  } else {
    void* raw =
        zero ? calloc(1, sizeof(BlockHeader) + bytes) : malloc(sizeof(BlockHeader) + bytes);
    if (raw == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    header = static_cast<BlockHeader*>(raw);
    header->capacity = static_cast<uint32_t>(bytes);
  }
  header->size = bytes;
  header->magic = kLiveMagic;
  live_blocks.fetch_add(1, std::memory_order_relaxed);
  return header + 1;
}

LPVOID Reallocate(LPVOID block, SIZE_T bytes, bool zero) {
  BlockHeader* header = CheckedHeader(block);
  if (header == nullptr) return nullptr;
  const SIZE_T limit = block_limit.load(std::memory_order_relaxed);
  if (bytes > limit || !TakeAllocation()) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  const uint64_t old_size = header->size;
  const uint64_t capacity = header->capacity;
  char* data = reinterpret_cast<char*>(header + 1);
  // In place while the block has room and is not shrinking to a fraction of it.
  if (bytes <= capacity && (bytes >= old_size || bytes >= capacity / 4)) {
    if (bytes > old_size) {
      HEAP_UNPOISON(data + old_size, bytes - old_size);
      if (zero) memset(data + old_size, 0, bytes - old_size);
    } else {
      HEAP_POISON(data + bytes, old_size - bytes);
    }
    header->size = bytes;
    return data;
  }
  uint64_t room = bytes;
  if (bytes > capacity) {
    room = capacity * 2 > bytes ? capacity * 2 : bytes;
    if (room > limit) room = limit;
    BlockHeader* into = TakeSpare(room);
    if (into != nullptr) {
      char* moved = reinterpret_cast<char*>(into + 1);
      HEAP_UNPOISON(moved, bytes);
      memcpy(moved, data, old_size);
      if (zero) memset(moved + old_size, 0, bytes - old_size);
      into->size = bytes;
      into->magic = kLiveMagic;
      header->magic = kDeadMagic;
      HEAP_UNPOISON(data + old_size, capacity - old_size);
      KeepOrFree(header);
      return moved;
    }
  }
  // On failure realloc leaves the old block as it was, and so do we.
  HEAP_UNPOISON(data + old_size, capacity - old_size);
  void* raw = realloc(header, sizeof(BlockHeader) + room);
  if (raw == nullptr) {
    HEAP_POISON(data + old_size, capacity - old_size);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  header = static_cast<BlockHeader*>(raw);
  header->size = bytes;
  header->capacity = static_cast<uint32_t>(room);
  data = reinterpret_cast<char*>(header + 1);
  if (zero && bytes > old_size) memset(data + old_size, 0, bytes - old_size);
  HEAP_POISON(data + bytes, room - bytes);
  return data;
}

bool Release(LPVOID block) {
  BlockHeader* header = CheckedHeader(block);
  if (header == nullptr) return false;
  header->magic = kDeadMagic;
  HEAP_UNPOISON(reinterpret_cast<char*>(header + 1) + header->size,
                header->capacity - header->size);
  KeepOrFree(header);
  live_blocks.fetch_sub(1, std::memory_order_relaxed);
  return true;
}

}  // namespace

extern "C" {

HANDLE GetProcessHeap(void) { return &process_heap_tag; }

LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  if (!IsProcessHeap(heap)) return nullptr;
  return Allocate(bytes, (flags & HEAP_ZERO_MEMORY) != 0);
}

LPVOID HeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes) {
  if (!IsProcessHeap(heap)) return nullptr;
  return Reallocate(block, bytes, (flags & HEAP_ZERO_MEMORY) != 0);
}

BOOL HeapFree(HANDLE heap, DWORD /*flags*/, LPVOID block) {
  if (!IsProcessHeap(heap)) return FALSE;
  if (block == nullptr) return TRUE;
  return Release(block) ? TRUE : FALSE;
}

SIZE_T HeapSize(HANDLE heap, DWORD /*flags*/, LPCVOID block) {
  if (!IsProcessHeap(heap)) return static_cast<SIZE_T>(-1);
  BlockHeader* header = CheckedHeader(block);
  if (header == nullptr) return static_cast<SIZE_T>(-1);
  return static_cast<SIZE_T>(header->size);
}

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
  return Allocate(bytes, (flags & LMEM_ZEROINIT) != 0);
}

HLOCAL LocalReAlloc(HLOCAL block, SIZE_T bytes, UINT flags) {
  return Reallocate(block, bytes, (flags & LMEM_ZEROINIT) != 0);
}

HLOCAL LocalFree(HLOCAL block) {
  if (block == nullptr) return nullptr;
  return Release(block) ? nullptr : block;
}

void PlatformFailHeapAfter(long count) {
  allocations_left.store(count < 0 ? -1 : count, std::memory_order_relaxed);
}

void PlatformLimitHeapBlock(SIZE_T bytes) {
  block_limit.store(bytes == 0 || bytes > kMaxBlockBytes ? kMaxBlockBytes : bytes,
                    std::memory_order_relaxed);
}

long PlatformLiveHeapBlocks(void) { return live_blocks.load(std::memory_order_relaxed); }

}  // extern "C"
