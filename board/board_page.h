// The board page: the Shift_JIS header block, the board's header template
// (or the built-in header and posting form), twenty posts from the page
// offset on with their delete buttons, the TOP and NEXT links, and the footer
// template (or the built-in footer).
//
// Templates are <directory of the script><base name>HEAD.HTML and ...FOOT.HTML;
// a header that contains "$HIDE_DELETE_FLAG$" turns the delete buttons on.
#ifndef BOARD_BOARD_PAGE_H_
#define BOARD_BOARD_PAGE_H_

#include "error_page.h"
#include "page_writer.h"
#include "server_variables.h"
#include "text_buffer.h"
#include "wince.h"

// Posts shown on one page.
#define BOARD_PAGE_POSTS 20

// Writes the whole page for the board database `name` from the post at
// `offset` on (negative: 0) into the response, replacing what it held. When
// the heap runs out on the way, the answer is the "Not enough memory" page.
void WriteBoardPage(ServerVariables* variables, TextBuffer* response, WCHAR* name, int offset);

// 1 when the board's page shows delete buttons, that is when the header its
// page is framed by (the template, or the built-ins when it cannot be read)
// carries "$HIDE_DELETE_FLAG$", found exactly as WriteBoardPage finds it; 0
// when it does not; -1 when the heap ran out before it could tell. A board
// accepts a deletion only when this is 1.
int ShowsDeleteButtons(ServerVariables* variables);

// The file name of the script up to its first '.', at most capacity - 1
// bytes: /cgi/board.tvx gives "board". Returns 1, or 0 when scriptName is
// NULL (out then holds "").
int ScriptBaseName(const char* scriptName, char* out, int capacity);

// CreateFileW with a narrow (ANSI code page) path, converted on the stack
// when it fits the template path area. INVALID_HANDLE_VALUE when
// the file cannot be opened, or with ERROR_NOT_ENOUGH_MEMORY when the wide
// copy of the path cannot be allocated.
HANDLE OpenFileNarrow(const char* path, DWORD access, DWORD share,
                      LPSECURITY_ATTRIBUTES security, DWORD disposition,
                      DWORD attributes, HANDLE templateFile);

// Appends the file's bytes, read 256 at a time, until the file ends.
// Returns 1 when the whole file was read, 0 when it cannot be opened or a
// read fails (what that file had appended is taken back; a failure for want
// of memory also marks the page failed).
int ReadTemplateFile(const char* path, PageWriter* page);

// The built-in texts used when the templates cannot be read. The form posts
// to `script`, the request's SCRIPT_NAME ("" when it has none).
void WriteBoardHeader(PageWriter* page);
void WriteBoardForm(const char* script, PageWriter* page);
void WriteBoardFooter(PageWriter* page);

// Appends up to twenty posts from `offset` on, each with its delete button
// (posting to `script`) unless `hide`, then TOP (and NEXT when more follow),
// both leading to `script`. A board without a database (the open fails with
// ERROR_FILE_NOT_FOUND) gets nothing at all; an open that fails otherwise
// fails the page (ERROR_NOT_ENOUGH_MEMORY) or writes the error page "Other
// errors.". `offset` counts records in the store's order, a record without a
// post among them; the store seeks to it rather than reading the records
// before. A read or seek that fails ends in the error page "Re-allocation of
// database records failed." (122) or "Other errors.". Holds one record at a
// time. Returns 1.
int ListPosts(WCHAR* name, const char* script, PageWriter* page, int offset, int hide);

#endif  // BOARD_BOARD_PAGE_H_
