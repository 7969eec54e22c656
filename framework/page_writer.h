// PageWriter: both plug-ins write their pages through it, so that a page is
// either written whole or replaced by an error page when the heap runs out.
#ifndef FRAMEWORK_PAGE_WRITER_H_
#define FRAMEWORK_PAGE_WRITER_H_

#include "text_buffer.h"

// The message of every answer to a heap that ran out.
extern const char kNotEnoughMemory[];  // "Not enough memory"

// Appends to a buffer and remembers whether any append fell short (the heap
// ran out, or the page would pass the 2 GiB a buffer can hold), so that a
// page is either written whole or replaced by an error. The writer only
// remembers: the plug-in asks failed() once its page is written and answers
// with ErrorPage(buffer(), kNotEnoughMemory) in one place.
//
// Small pieces are gathered in a staging area on the stack and reach the
// buffer a few kilobytes at a time: the buffer grows by 512-byte blocks, and
// one append that crosses many blocks grows it once where many small ones
// would grow it again and again. The buffer holds everything put so far
// whenever buffer() or failed() is asked, and when the writer goes away.
class PageWriter {
 public:
  explicit PageWriter(TextBuffer* out) : out_(out), staged_(0), failed_(0) {}
  ~PageWriter() { Flush(); }

  // A NUL-terminated text; NULL or "" appends nothing.
  void Put(const char* text);
  // `count` bytes, NULs included.
  void Put(const char* bytes, int count);
  // A signed decimal.
  void PutInt(int value);
  // Marks the page as incomplete for a reason other than an append.
  void Fail() { failed_ = 1; }

  // Whether any append fell short, once the staged bytes are in the buffer.
  int failed() {
    Flush();
    return failed_;
  }
  // Whether an append has already fallen short, leaving the staged bytes
  // where they are: lets a long page stop early; failed() has the last word.
  int failedSoFar() const { return failed_; }
  // The buffer, holding everything put so far: safe to read or to replace
  // by an error page.
  TextBuffer* buffer() {
    Flush();
    return out_;
  }

 private:
  static const int kStagingArea = 4096;

  PageWriter(const PageWriter&) = delete;
  PageWriter& operator=(const PageWriter&) = delete;

  // Appends the staged bytes to the buffer.
  void Flush();

  TextBuffer* out_;
  char staging_[kStagingArea];
  int staged_;
  int failed_;
};

#endif  // FRAMEWORK_PAGE_WRITER_H_
