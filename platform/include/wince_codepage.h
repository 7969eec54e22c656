// Code-page conversions of the device.
//
// CP_ACP, the device's ANSI code page, is Shift_JIS (Windows code page 932,
// converted through glibc iconv "CP932"). CP_UTF8 is UTF-8.
#ifndef CEPLATFORM_WINCE_CODEPAGE_H_
#define CEPLATFORM_WINCE_CODEPAGE_H_

#include "wince_types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define CP_ACP 0
#define CP_OEMCP 1
#define CP_UTF8 65001

#define MB_PRECOMPOSED 0x00000001
#define MB_ERR_INVALID_CHARS 0x00000008

// Converts narrow text in `codePage` to UTF-16.
//  - srcLength -1: the source is NUL-terminated and the terminator is
//    converted and counted too; otherwise exactly srcLength bytes (0 is an
//    error: ERROR_INVALID_PARAMETER).
//  - dstCount 0: nothing is written; the result is the number of UTF-16 units
//    the conversion needs (a size query); dst may be NULL then.
//  - flags 0: an invalid or truncated byte sequence becomes U+30FB (the
//    katakana middle dot, CP_ACP) or U+FFFD (CP_UTF8), one per bad byte;
//    the conversion does not fail. MB_ERR_INVALID_CHARS makes it fail with
//    ERROR_NO_UNICODE_TRANSLATION instead. MB_PRECOMPOSED is accepted.
// Returns the number of units written (or needed), or 0 on failure with
// ERROR_INSUFFICIENT_BUFFER (dst too small; what fitted may have been
// written), ERROR_INVALID_PARAMETER (NULL source, or dst NULL with a non-zero
// dstCount), ERROR_INVALID_FLAGS (unknown flags or code page).
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR src, int srcLength,
                        LPWSTR dst, int dstCount);

// Converts UTF-16 to narrow text in `codePage`; the same rules for srcLength,
// the size query (dstCount 0) and the failures. A character that the code
// page cannot express becomes `defaultChar` (NULL: '?'), and *usedDefault
// (when given) is set to TRUE; an unpaired surrogate counts as such a
// character.
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR src, int srcLength,
                        LPSTR dst, int dstCount, LPCSTR defaultChar,
                        LPBOOL usedDefault);

#ifdef __cplusplus
}
#endif

#endif  // CEPLATFORM_WINCE_CODEPAGE_H_
