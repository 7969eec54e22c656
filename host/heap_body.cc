#include "heap_body.h"

#include "wince.h"

std::shared_ptr<const HeapBody> HeapBody::Take(TextBuffer* buffer, size_t begin, size_t end) {
  if (buffer->data == NULL || buffer->length < 0 || begin > end ||
      end > static_cast<size_t>(buffer->length)) {
    return nullptr;
  }
  // The record first: once the block is taken, nothing may fail.
  std::shared_ptr<HeapBody> body(new HeapBody());
  body->block_ = buffer->data;
  body->begin_ = begin;
  body->size_ = end - begin;
  buffer->data = NULL;
  buffer->length = 0;
  return body;
}

HeapBody::~HeapBody() {
  if (block_ != nullptr) HeapFree(GetProcessHeap(), 0, block_);
}
