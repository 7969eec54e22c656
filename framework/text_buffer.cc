#include "text_buffer.h"

#include <stdint.h>
#include <string.h>

#include <climits>

namespace {

// The bytes of the whole blocks that `bytes` bytes take. Caller guarantees
// blockSize > 0. Appends are frequent and a division is slow, so a block
// size that is a power of two (512, the only one in use) is rounded by mask.
int64_t BlockBytes(int64_t bytes, int blockSize) {
  if ((blockSize & (blockSize - 1)) == 0) {
    return (bytes + blockSize - 1) & ~static_cast<int64_t>(blockSize - 1);
  }
  return (bytes / blockSize + (bytes % blockSize != 0 ? 1 : 0)) * blockSize;
}

}  // namespace

TextBuffer::TextBuffer() : data(NULL), length(0), blockSize(512) {}

TextBuffer::~TextBuffer() {
  if (data != NULL) HeapFree(GetProcessHeap(), HEAP_NO_SERIALIZE, data);
}

void TextBuffer::Clear() {
  if (data == NULL) return;
  HeapFree(GetProcessHeap(), HEAP_NO_SERIALIZE, data);
  data = NULL;
  length = 0;
}

int TextBuffer::IsEmpty() { return data == NULL ? 1 : 0; }

int TextBuffer::Append(const char* source, int count) {
  if (count <= 0 || source == NULL) return 0;
  // A block size of 0 would make every block count a division by zero; a
  // negative length cannot index the storage. Neither is ever set here, but
  // the server's objects come from outside.
  if (blockSize <= 0 || length < 0) return 0;
  // The total and its NUL must stay addressable through the int length.
  if (static_cast<int64_t>(length) + count + 1 > INT_MAX) return 0;

  HANDLE heap = GetProcessHeap();
  if (data == NULL) {
    char* fresh = static_cast<char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, blockSize));
    if (fresh == NULL) return 0;
    memset(fresh, 0, blockSize);
    data = fresh;
    length = 0;
  }

  int64_t held = BlockBytes(static_cast<int64_t>(length) + 1, blockSize);
  int64_t needed = BlockBytes(static_cast<int64_t>(length) + count + 1, blockSize);

  // The source may lie inside our own storage (appending part of the buffer
  // to itself); the reallocation may move it, so remember it as an offset.
  uintptr_t begin = reinterpret_cast<uintptr_t>(data);
  uintptr_t from = reinterpret_cast<uintptr_t>(source);
  int inside = from >= begin && from < begin + static_cast<uintptr_t>(held);
  size_t offset = inside ? from - begin : 0;

  if (needed > held) {
    char* grown = static_cast<char*>(
        HeapReAlloc(heap, HEAP_ZERO_MEMORY, data, static_cast<SIZE_T>(needed)));
    if (grown == NULL) return 0;
    data = grown;
    if (inside) source = data + offset;
  }

  memmove(data + length, source, count);
  length += count;
  data[length] = 0;
  return count;
}

int TextBuffer::AppendString(const char* text) {
  if (text == NULL) return 0;
  size_t n = strlen(text);
  if (n > static_cast<size_t>(INT_MAX)) return 0;
  return Append(text, static_cast<int>(n));
}
