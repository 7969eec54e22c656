// AppendFormat: printf-style text put on a page.
#ifndef ADMIN_APPEND_FORMAT_H_
#define ADMIN_APPEND_FORMAT_H_

#include "page_writer.h"

// Formats into a 512-byte work area and puts the result on the page. A longer
// result (a long script or database name) is formatted whole into a heap
// area of its own size instead, so that a row is never cut inside its markup.
// When the format fails or the larger area cannot be allocated, nothing is
// put and the page is marked failed: a page never goes out without a row.
void AppendFormat(PageWriter* page, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

#endif  // ADMIN_APPEND_FORMAT_H_
