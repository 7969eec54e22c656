#include "strip_tags.h"

#include <string.h>

#include "char_reference.h"
#include "shift_jis.h"

namespace {

// The longest character reference: "&#x" or "&#", seven digits, ';'.
const DWORD kLongestReference = 11;

// The length of the character reference at `text` (CharReferenceLength)
// looking at no more than `left` bytes.
int ReferenceWidth(const unsigned char* text, DWORD left) {
  char copy[kLongestReference + 1];
  DWORD n = left < kLongestReference ? left : kLongestReference;
  memcpy(copy, text, n);
  copy[n] = '\0';
  return CharReferenceLength(copy, NULL);
}

}  // namespace

void StripTagsBounded(char* destination, int maximum, const char* source, DWORD sourceBytes) {
  if (destination == NULL) return;
  destination[0] = '\0';
  if (source == NULL || maximum <= 0) return;

  const unsigned char* text = reinterpret_cast<const unsigned char*>(source);
  int copying = 1;
  int count = 0;
  DWORD at = 0;
  while (at < sourceBytes && text[at] != '\0') {
    unsigned char c = text[at];
    if (c == '<') {
      copying = 0;
      at++;
      continue;
    }
    if (c == '>') {
      copying = 1;
      at++;
      continue;
    }
    // A double-byte character travels as one unit, so that a cut can never
    // leave half of it behind (or swallow a bracket as its second byte).
    // So does a character reference, which a cut would leave as text.
    int width = 1;
    if (IsShiftJisLeadByte(c) && at + 1 < sourceBytes && IsShiftJisTrailByte(text[at + 1])) {
      width = 2;
    } else if (c == '&') {
      int reference = ReferenceWidth(text + at, sourceBytes - at);
      if (reference > 0) width = reference;
    }
    if (copying) {
      if (count + width > maximum) break;
      for (int i = 0; i < width; i++) destination[count++] = static_cast<char>(text[at + i]);
      destination[count] = '\0';
      if (count == maximum) break;
    }
    at += width;
  }
}

void StripTags(char* destination, int maximum, const char* source) {
  StripTagsBounded(destination, maximum, source, 0xFFFFFFFFu);
}
