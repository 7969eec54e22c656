// Numeric character references, as a browser writes them into a form: a
// page in Shift_JIS has no byte for 😀, so the browser sends "&#128512;" in
// its place. The board keeps such a reference as it came, so that every
// reader sees the character; everything else that starts with '&' is text.
#ifndef FRAMEWORK_CHAR_REFERENCE_H_
#define FRAMEWORK_CHAR_REFERENCE_H_

// The length in bytes of the well-formed numeric character reference that
// begins at `text`, or 0 when none begins there (or `text` is NULL). Well
// formed is "&#" and 1 to 7 decimal digits, or "&#x" (or "&#X") and 1 to 6
// hexadecimal digits, then ';', whose value is a character a page may hold:
// no surrogate (U+D800-U+DFFF), nothing above U+10FFFF, no NUL and no
// control character (U+0001-U+001F, U+007F-U+009F) except tab, line feed
// and carriage return. When `codePoint` is not NULL it receives the value
// of a reference found.
int CharReferenceLength(const char* text, unsigned long* codePoint);

#endif  // FRAMEWORK_CHAR_REFERENCE_H_
