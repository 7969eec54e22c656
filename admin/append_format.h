// AppendFormat: printf-style text appended to a response.
#ifndef ADMIN_APPEND_FORMAT_H_
#define ADMIN_APPEND_FORMAT_H_

#include "text_buffer.h"

// Formats into a 512-byte work area and appends the result with AppendString.
// A longer result (a long script or database name) is formatted whole into a
// heap area of its own size instead, so that a row is never cut inside its
// markup. Returns what AppendString returned; 0 (nothing appended) when the
// format fails or the larger area cannot be allocated.
int AppendFormat(TextBuffer* response, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

#endif  // ADMIN_APPEND_FORMAT_H_
