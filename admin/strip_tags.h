// StripTags: a stored post's HTML as plain text for the administration page.
#ifndef ADMIN_STRIP_TAGS_H_
#define ADMIN_STRIP_TAGS_H_

#include "wince.h"

// Copies `source` into `destination` without its tags: every '<' stops the
// copying and every '>' starts it again; neither bracket is ever copied, and
// brackets are not paired, so a stray '>' is simply dropped. Character
// references and line breaks pass unchanged.
//
// At most `maximum` bytes are copied, and only whole characters: a Shift_JIS
// lead byte (0x81-0x9F, 0xE0-0xFC) and its trail byte are copied together or
// not at all, and so is a numeric character reference ("&#128512;", which
// shows the character). Copying stops at the source's terminator or when the
// next character would not fit.
//
// REQUIRES: `destination` holds at least maximum + 1 bytes; `source` is
// NUL-terminated (or NULL, which gives an empty text). The destination is
// always NUL-terminated.
void StripTags(char* destination, int maximum, const char* source);

// The same over at most `sourceBytes` bytes of `source`, for text whose
// terminator is not guaranteed (a BLOB read from the store): copying also
// stops after that many source bytes.
void StripTagsBounded(char* destination, int maximum, const char* source,
                      DWORD sourceBytes);

#endif  // ADMIN_STRIP_TAGS_H_
