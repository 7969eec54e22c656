// The byte classes of Shift_JIS, the device's ANSI code page, for code that
// walks text byte by byte and must keep a two-byte character whole.
#ifndef FRAMEWORK_SHIFT_JIS_H_
#define FRAMEWORK_SHIFT_JIS_H_

// 1 for the first byte of a two-byte character (0x81-0x9F, 0xE0-0xFC).
inline int IsShiftJisLeadByte(unsigned char c) {
  return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// 1 for a byte that can follow a lead byte (0x40-0x7E, 0x80-0xFC).
inline int IsShiftJisTrailByte(unsigned char c) {
  return (c >= 0x40 && c <= 0x7E) || (c >= 0x80 && c <= 0xFC);
}

// 1 for a half-width katakana, a character of one byte (0xA1-0xDF).
inline int IsShiftJisSingleKana(unsigned char c) { return c >= 0xA1 && c <= 0xDF; }

#endif  // FRAMEWORK_SHIFT_JIS_H_
