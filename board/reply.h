// Writing the board's answers so that every failure reaches the client, even
// when the heap has run dry.
//
// The board empties the response without giving its storage back, and an
// error page fits in one block: once the response holds a block, a failure
// can always be reported without asking the heap for anything.
#ifndef BOARD_REPLY_H_
#define BOARD_REPLY_H_

#include "text_buffer.h"

// Empties the response and makes sure it holds at least one block of storage.
// Returns 1, or 0 when it holds none and the heap gave none (the response is
// then empty and an error page will have to allocate).
int ReserveResponse(TextBuffer* response);

// Empties the response (length 0) and keeps whatever storage it holds.
void EmptyResponse(TextBuffer* response);

// The error page: the response emptied, then "Content-Type: text/html\r\n\r\n",
// "<HTML><BODY>", the message and "</BODY></HTML>". Reuses the response's
// storage when it has any, so a short message needs no allocation.
void ReplyError(TextBuffer* response, const char* message);

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

#endif  // BOARD_REPLY_H_
