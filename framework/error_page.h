// ErrorPage: the one way a plug-in reports a failure to the client, and the
// two helpers that let it do so even when the heap has run dry.
//
// An error page fits in one block of the response. A plug-in that reserves
// that block at the start of a call (ReserveResponse) and empties the
// response in place from then on (EmptyResponse) can always report a failure
// without asking the heap for anything.
#ifndef FRAMEWORK_ERROR_PAGE_H_
#define FRAMEWORK_ERROR_PAGE_H_

#include "text_buffer.h"

// Empties the response, then appends "Content-Type: text/html\r\n\r\n",
// "<HTML><BODY>", the message and "</BODY></HTML>". Storage the response
// already holds is reused; a response without storage is cleared through its
// own table and allocates. Returns the count of the last append (0 when the
// heap failed; NULL response gives 0).
int ErrorPage(TextBuffer* response, const char* message);

// Empties the response (length 0, a NUL at the front) and keeps its storage.
// Storage of n blocks stays valid for a shorter text: Append derives the
// blocks it holds from the length.
void EmptyResponse(TextBuffer* response);

// Empties the response and makes sure it holds at least one block. Returns 1,
// or 0 when it holds none and the heap gave none.
int ReserveResponse(TextBuffer* response);

#endif  // FRAMEWORK_ERROR_PAGE_H_
