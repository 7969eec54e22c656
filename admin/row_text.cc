#include "row_text.h"

#include <limits.h>
#include <string.h>

#include "wince.h"

RowText::~RowText() {
  if (bytes_ != area_) HeapFree(GetProcessHeap(), HEAP_NO_SERIALIZE, bytes_);
}

int RowText::Grow(size_t needed) {
  // A row is appended through an int length; nothing near that is a row.
  if (needed > static_cast<size_t>(INT_MAX) / 2) return 0;
  size_t capacity = 2 * needed;
  char* block = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, capacity));
  if (block == NULL) return 0;
  memcpy(block, bytes_, length_);
  if (bytes_ != area_) HeapFree(GetProcessHeap(), HEAP_NO_SERIALIZE, bytes_);
  bytes_ = block;
  capacity_ = capacity;
  return 1;
}

void RowText::Add(const char* text, size_t length) {
  if (!ok_) return;
  if (length > capacity_ - length_ && !Grow(length_ + length)) {
    ok_ = 0;
    return;
  }
  memcpy(bytes_ + length_, text, length);
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

void RowText::WriteTo(PageWriter* page) const {
  if (!ok_) {
    page->Fail();
    return;
  }
  // Grow keeps a row below INT_MAX / 2 bytes, so its length fits an int.
  page->Put(bytes_, static_cast<int>(length_));
}
