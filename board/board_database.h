// Board storage: the board's database named after its script, created by
// its first post, and one record per post (layout in board_record.h).
#ifndef BOARD_BOARD_DATABASE_H_
#define BOARD_BOARD_DATABASE_H_

#include "board_record.h"
#include "text_buffer.h"
#include "wince.h"

// Writes "TULVAN_" and the last path component of `scriptName` (after the
// last '/', '\' or '"'; a name in double quotes ends at its closing quote)
// into `out`, at most capacity - 8 bytes of the component, NUL-terminated.
// Returns 1, or 0 when scriptName is NULL (out untouched).
// REQUIRES: capacity >= 8.
int BoardDatabaseName(const char* scriptName, char* out, int capacity);

// Renders the post of the client's URL-encoded `body` and stores it, creating
// the board's database when the open finds none (ERROR_FILE_NOT_FOUND; also
// when another request creates it at the same moment). Returns 1 when the
// record was written (response untouched); 0 after writing the error page:
// the renderer's message, "Not enough memory", "Open database Error" (any
// other failure of the open: nothing is created), "ERROR: CeCreateDatabaseEx
// failed.", "ERROR: CeOpenDatabaseEx failed." or "Write Record Error".
// REQUIRES: `name` fits the store (at most 31 UTF-16 units).
int AddPost(WCHAR* name, TextBuffer* body, TextBuffer* response);

// Deletes the record `record` of the board. Returns 1; 0 after writing the
// error page "Open database Error" or "CeDeleteRecord was fail with error
// <code><BR>\nDatabase <handle>(<hex>)<BR>\nRecord <id>(<hex>)".
int DeletePost(WCHAR* name, int record, TextBuffer* response);

#endif  // BOARD_BOARD_DATABASE_H_
