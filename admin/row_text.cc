#include "row_text.h"

#include <string.h>

void RowText::Add(const char* text, size_t length) {
  if (!fits_ || length > kCapacity - length_) {
    fits_ = 0;
    return;
  }
  memcpy(area_ + length_, text, length);
  length_ += length;
}

void RowText::AddDecimal(int value) {
  char digits[12];  // "-2147483648"
  char* end = digits + sizeof(digits);
  char* start = end;
  // The magnitude in unsigned arithmetic, so that INT_MIN negates cleanly.
  unsigned magnitude = static_cast<unsigned>(value);
  if (value < 0) magnitude = 0u - magnitude;
  do {
    *--start = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) *--start = '-';
  Add(start, static_cast<size_t>(end - start));
}

void RowText::AddHex(unsigned value) {
  static const char kDigits[] = "0123456789ABCDEF";
  char digits[10];  // "0XFFFFFFFF"
  char* end = digits + sizeof(digits);
  char* start = end;
  unsigned rest = value;
  do {
    *--start = kDigits[rest & 0xF];
    rest >>= 4;
  } while (rest != 0);
  // The "#" flag adds the prefix to every value but 0.
  if (value != 0) {
    *--start = 'X';
    *--start = '0';
  }
  Add(start, static_cast<size_t>(end - start));
}
