// A multipart form's fields, for a board that reads its fields from
// URL-encoded text. A template may carry a form of its own sent as
// multipart/form-data; its post is rewritten into the URL-encoded text that
// the board's own form sends, so that both are stored alike.
#ifndef BOARD_MULTIPART_FIELDS_H_
#define BOARD_MULTIPART_FIELDS_H_

#include "request_form.h"
#include "text_buffer.h"

// Appends to `out` (emptied first) "key=value&" for each part of the
// multipart body of `form` named exactly name, email, subject, body,
// postitem, deleteitem or deleteitemid, its value URL-encoded. A part that is
// absent is left out, as a URL-encoded form leaves out what it does not
// send. Returns 1; 0 when the heap ran out.
int MultipartAsUrlEncoded(RequestForm* form, TextBuffer* out);

#endif  // BOARD_MULTIPART_FIELDS_H_
