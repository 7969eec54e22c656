#include "char_reference.h"

#include <stddef.h>

namespace {

// The value of a digit in `base` (10 or 16), or -1.
int DigitValue(unsigned char c, int base) {
  if (c >= '0' && c <= '9') return c - '0';
  if (base == 16 && c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (base == 16 && c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Whether a page may carry the character `value` as a reference.
int IsKeptCharacter(unsigned long value) {
  if (value == 0x09 || value == 0x0A || value == 0x0D) return 1;
  if (value < 0x20) return 0;
  if (value >= 0x7F && value <= 0x9F) return 0;
  if (value >= 0xD800 && value <= 0xDFFF) return 0;
  return value <= 0x10FFFF;
}

}  // namespace

int CharReferenceLength(const char* text, unsigned long* codePoint) {
  if (text == NULL || text[0] != '&' || text[1] != '#') return 0;
  int at = 2;
  int base = 10;
  int most = 7;
  if (text[at] == 'x' || text[at] == 'X') {
    base = 16;
    most = 6;
    at++;
  }
  // Seven decimal or six hexadecimal digits stay far below the overflow of
  // an unsigned long.
  unsigned long value = 0;
  int digits = 0;
  int digit;
  while ((digit = DigitValue(static_cast<unsigned char>(text[at]), base)) >= 0) {
    if (++digits > most) return 0;
    value = value * base + static_cast<unsigned long>(digit);
    at++;
  }
  if (digits == 0 || text[at] != ';' || !IsKeptCharacter(value)) return 0;
  if (codePoint != NULL) *codePoint = value;
  return at + 1;
}
