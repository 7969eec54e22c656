// Code-page conversions of the device.
//
// CP_ACP, the device's ANSI code page, is Shift_JIS (Windows code page 932,
// with the mappings of glibc iconv "CP932", read once into tables; the lone
// bytes 0x80, 0xA0, 0xFD, 0xFE and 0xFF map to U+0080, U+F8F0..U+F8F3 as on
// the device). CP_OEMCP and 932 name the same code page. CP_UTF8 is UTF-8.
// The conversions are thread-safe and take no lock.
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
//  - flags 0: bad input is replaced and the conversion does not fail.
//    CP_ACP: a lead byte whose character is cut off (by the end, or by a byte
//    that cannot follow a lead byte) becomes one U+30FB (the katakana middle
//    dot, which converts back to Shift_JIS 0x8145) and the next byte is read
//    on its own, so an ASCII byte such as '"' or '<' is never swallowed; a
//    two-byte code without a character becomes one U+30FB for both bytes
//    (only the lead byte when the second is ASCII).
//    CP_UTF8: each maximal part of a broken sequence becomes one U+FFFD (the
//    Unicode recommendation); overlong forms, encoded surrogates and values
//    past U+10FFFF are broken.
//    MB_ERR_INVALID_CHARS makes such input fail with
//    ERROR_NO_UNICODE_TRANSLATION instead. MB_PRECOMPOSED is accepted.
//  - A NUL inside an explicit length is converted like any character.
//  - Characters beyond the BMP become surrogate pairs; a pair is written
//    whole or not at all.
// Returns the number of units written (or needed), or 0 on failure with
// ERROR_INSUFFICIENT_BUFFER (dst too small; what fitted may have been
// written), ERROR_INVALID_PARAMETER (NULL source, srcLength 0 or below -1,
// dstCount below 0, dst NULL with a non-zero dstCount, src the same as dst),
// ERROR_INVALID_FLAGS (unknown flags or code page), ERROR_NOT_SUPPORTED
// (CP_ACP when the C library has no CP932 converter).
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR src, int srcLength,
                        LPWSTR dst, int dstCount);

// Converts UTF-16 to narrow text in `codePage`; the same rules for srcLength,
// the size query (dstCount 0) and the failures; flags must be 0. A character
// of two bytes is written whole or not at all.
// CP_ACP: a character that Shift_JIS cannot express (a surrogate pair counts
// as one, an unpaired surrogate as one) becomes `defaultChar` (NULL: '?'; a
// lead byte followed by a trail byte gives a two-byte default), and
// *usedDefault (when given) is set to TRUE, else FALSE. A character with two
// codes gets the IBM extension's (U+9AD9 is 0xFBFC), and a few characters
// map one way, as on the device (U+00A5 to 0x5C, U+203E to 0x7E).
// CP_UTF8: an unpaired surrogate becomes U+FFFD (EF BF BD) and sets
// *usedDefault; defaultChar is not used.
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR src, int srcLength,
                        LPSTR dst, int dstCount, LPCSTR defaultChar,
                        LPBOOL usedDefault);

#ifdef __cplusplus
}
#endif

#endif  // CEPLATFORM_WINCE_CODEPAGE_H_
