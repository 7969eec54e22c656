// PageWriter: the board writes its pages through it, so that a page is either
// written whole or replaced by an error page when the heap runs out.
#ifndef BOARD_PAGE_WRITER_H_
#define BOARD_PAGE_WRITER_H_

#include "text_buffer.h"

// The message of every answer to a heap that ran out.
extern const char kNotEnoughMemory[];  // "Not enough memory"

// Appends to a buffer and remembers whether any append fell short (the heap
// ran out), so that a page is either written whole or replaced by an error.
class PageWriter {
 public:
  explicit PageWriter(TextBuffer* out) : out_(out), failed_(0) {}

  // A NUL-terminated text; NULL or "" appends nothing.
  void Put(const char* text);
  // `count` bytes, NULs included.
  void Put(const char* bytes, int count);
  // A signed decimal.
  void PutInt(int value);
  // Marks the page as incomplete for a reason other than an append.
  void Fail() { failed_ = 1; }

  int failed() const { return failed_; }
  TextBuffer* buffer() const { return out_; }

 private:
  PageWriter(const PageWriter&) = delete;
  PageWriter& operator=(const PageWriter&) = delete;

  TextBuffer* out_;
  int failed_;
};

#endif  // BOARD_PAGE_WRITER_H_
