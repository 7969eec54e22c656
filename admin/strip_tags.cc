#include "strip_tags.h"

#include "shift_jis.h"

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
    int width = 1;
    if (IsShiftJisLeadByte(c) && at + 1 < sourceBytes && IsShiftJisTrailByte(text[at + 1])) {
      width = 2;
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
