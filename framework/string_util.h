// Small text routines shared by both plug-ins. They work on NUL-terminated
// byte strings; case folding knows only the 26 ASCII letters, so Shift_JIS
// bytes (and every byte from 0x80 up) pass through unchanged.
#ifndef FRAMEWORK_STRING_UTIL_H_
#define FRAMEWORK_STRING_UTIL_H_

#include "server_variables.h"
#include "wince.h"

// Decodes '+' and '%XY' escapes in place, in one pass; "%%" gives '%'. A
// non-hex digit counts as 0; a terminator within the two characters after '%'
// ends decoding there. Never reads or writes past the terminator.
void UrlDecode(char* text);

// '0'-'9', 'A'-'F', 'a'-'f' give their value; anything else 0.
int HexDigitValue(int c);

// 'A'-'Z' to 'a'-'z'; every other value unchanged.
int ToLowerAscii(int c);

// Compares two strings ignoring ASCII case: 0 when equal, else the folded
// byte of `second` minus that of `first` at the first difference (bytes taken
// as signed). A NULL string equals only another NULL.
int CompareNoCase(const char* first, const char* second);
// The same over at most `count` positions (a prefix test when count is the
// length of a literal); NULL strings or a count <= 0 give 0.
int CompareNoCaseN(const char* first, const char* second, int count);

// The wide string in the ANSI code page, in a new malloc'ed string (release it
// with free); NULL when the conversion or the allocation fails.
char* WideToNarrow(const WCHAR* wide);

// The directory of the running script: DOCUMENT_ROOT + SCRIPT_NAME with every
// '/' made '\', cut after the last '\'. Returns 1, or 0 (buffer untouched)
// when a variable is absent or root + script do not fit in size - 1 bytes.
int GetScriptDirectory(ServerVariables* variables, char* buffer, int size);

#endif  // FRAMEWORK_STRING_UTIL_H_
