// Post rendering: a new post's fields, taken from the body the client sent,
// turned once into the finished HTML that the board stores and later copies
// into its pages unchanged. Whatever a visitor types comes out as text: no
// field can put a tag or an attribute of its own into the page.
#ifndef BOARD_POST_RENDERER_H_
#define BOARD_POST_RENDERER_H_

#include "text_buffer.h"

// Finds the field `key` (a field name without '=', such as "name") in the
// URL-encoded body as the client sent it: only an item whose whole name is
// `key`, at the start of the text or after '&', followed by '='. Its value
// runs to the next '&' and is URL-decoded exactly once, then escaped for HTML
// into `value` (cleared first):
//   '&' '<' '>' '"'  become  &amp; &lt; &gt; &quot;, except that a
//                    well-formed numeric character reference ("&#128512;",
//                    CharReferenceLength) stays as it is: the browser sends
//                    one for each character that Shift_JIS lacks
//   line feed        becomes <BR> and a line feed; carriage return is dropped
//   Shift_JIS        a lead byte (0x81-0x9F, 0xE0-0xFC) keeps the byte after
//                    it only when that is a trail byte (0x40-0x7E, 0x80-0xFC);
//                    otherwise the lead byte is dropped and the next byte is
//                    taken on its own. 0xA1-0xDF stand alone; 0x80, 0xA0 and
//                    0xFD-0xFF are dropped.
// Returns the length of the escaped value (0 when empty). A field that is not
// there at all gives "(none)" and 6. Returns -1 when the heap ran out.
int GetPostField(TextBuffer* body, TextBuffer* value, const char* key);

// Copies the value of the item named exactly `key` (as GetPostField finds
// it) from the URL-encoded body `text` into `out`: URL-decoded once, then the
// first size - 1 bytes of it (at most 31), always NUL-terminated. Returns its
// length; 0 when the item is absent or empty. `out` holds `size` bytes.
int CopyFormValue(const char* text, const char* key, char* out, int size);

// Copies the longest run of whole characters and whole entities (kept
// character references among them) of the escaped text `text` that fits in
// `limit` bytes into `area`, and ends it with a NUL (`area` holds limit + 1
// bytes). NULL copies nothing.
void CopyWholeUnits(char* area, const char* text, int limit);

// Renders the post of `body` (fields name, email, subject, body) and appends
// its HTML to `output`. Returns 1; 0 after writing the error page ("No Name.",
// "No Subject.", "No Body.", "Not enough memory") into `response`, when
// `output` holds an incomplete post that the caller discards.
int RenderPost(TextBuffer* body, TextBuffer* response, TextBuffer* output);

#endif  // BOARD_POST_RENDERER_H_
