// Board storage: one object-store database per board, named "TULVAN_" and the
// script's file name, created by the board's first post, with one sort order
// (property 64, the time of posting, descending). Each post is one record of
// two properties, in this order:
//   64     (0x40)     CEVT_FILETIME  the local time of posting
//   65601  (0x10041)  CEVT_BLOB      the post's HTML and one NUL; the byte
//                                    count is the text's length plus 1
// The administration page reads these records too, so the layout must stay.
#ifndef BOARD_BOARD_DATABASE_H_
#define BOARD_BOARD_DATABASE_H_

#include "text_buffer.h"
#include "wince.h"

// Name prefix that marks a board database.
#define BOARD_DATABASE_PREFIX "TULVAN_"
// Property identifiers of a post record.
#define BOARD_PROP_TIME 0x40     // MAKEPROPID(0, CEVT_FILETIME)
#define BOARD_PROP_HTML 0x10041  // MAKEPROPID(1, CEVT_BLOB)

// Writes "TULVAN_" and the last path component of `scriptName` (after the
// last '/', '\' or '"'; a name in double quotes ends at its closing quote)
// into `out`, at most capacity - 8 bytes of the component, NUL-terminated.
// Returns 1, or 0 when scriptName is NULL (out untouched).
// REQUIRES: capacity >= 8.
int BoardDatabaseName(const char* scriptName, char* out, int capacity);

// Renders the post of the client's URL-encoded `body` and stores it, creating
// the board's database when it has none (also when another request creates it
// at the same moment). Returns 1 when the record was written (response
// untouched); 0 after writing the error page: the renderer's message, "Not
// enough memory", "ERROR: CeCreateDatabaseEx failed.", "ERROR:
// CeOpenDatabaseEx failed." or "Write Record Error".
// REQUIRES: `name` fits the store (at most 31 UTF-16 units).
int AddPost(WCHAR* name, TextBuffer* body, TextBuffer* response);

// Deletes the record `record` of the board. Returns 1; 0 after writing the
// error page "Open database Error" or "CeDeleteRecord was fail with error
// <code><BR>\nDatabase <handle>(<hex>)<BR>\nRecord <id>(<hex>)".
int DeletePost(WCHAR* name, int record, TextBuffer* response);

#endif  // BOARD_BOARD_DATABASE_H_
