// HeapBody: the page a plug-in wrote, sent from the block of the process
// heap it was written into. A plug-in's response grows in one heap block
// (TextBuffer); the host takes that block over instead of copying the page
// out of it, so that a page of many megabytes (an admin listing of a big
// board) is held once, not twice. The block is released with HeapFree when
// the last copy of the body goes.
#ifndef HOST_HEAP_BODY_H_
#define HOST_HEAP_BODY_H_

#include <stddef.h>

#include <memory>

#include "text_buffer.h"

class HeapBody {
 public:
  // Takes the storage of *buffer and keeps its bytes [begin, end) as the
  // body; *buffer is left empty (data NULL, length 0). Returns nullptr, with
  // *buffer unchanged, when it holds no storage or the range does not lie
  // within its length. Throws std::bad_alloc, with *buffer unchanged, when
  // the body's own small record cannot be allocated.
  static std::shared_ptr<const HeapBody> Take(TextBuffer* buffer, size_t begin, size_t end);

  ~HeapBody();

  const char* data() const { return block_ + begin_; }
  size_t size() const { return size_; }

 private:
  HeapBody() = default;
  HeapBody(const HeapBody&) = delete;
  HeapBody& operator=(const HeapBody&) = delete;

  char* block_ = nullptr;  // from HeapAlloc/HeapReAlloc on GetProcessHeap()
  size_t begin_ = 0;
  size_t size_ = 0;
};

#endif  // HOST_HEAP_BODY_H_
