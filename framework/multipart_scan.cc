// The multipart/form-data scan of RequestForm: finds a named part's value in
// the raw body by the boundary that CONTENT_TYPE announces. The body is never
// modified, and every read stays within the body's bytes, whatever
// CONTENT_LENGTH claims.
#include <stdlib.h>
#include <string.h>

#include "request_form.h"

namespace {

const long kMaxBoundaryLength = 70;

// The first occurrence of `needle` in the text that starts at `from`, as a
// text search: a NUL byte ends the text. Only occurrences that start no later
// than `lastStart` and end no later than `limit` count. Returns its offset, or
// -1.
long FindInText(const char* base, long from, long lastStart, long limit, const char* needle) {
  long needleLength = static_cast<long>(strlen(needle));
  for (long at = from; at <= lastStart && at + needleLength <= limit; ++at) {
    if (base[at] == '\0') return -1;
    if (memcmp(base + at, needle, needleLength) == 0) return at;
  }
  return -1;
}

// True when the `count` bytes at `at` equal `text`, reading no byte at or past
// `limit`.
bool StartsWith(const char* base, long at, long limit, const char* text, long count) {
  if (at + count > limit) return false;
  return strncmp(base + at, text, count) == 0;
}

}  // namespace

int RequestForm::FindMultipartValue(const char* name, const char** out) {
  if (!Usable()) return 0;
  if (name == NULL || out == NULL) {
    status = kStatusBadParam;
    return 0;
  }
  *out = NULL;
  if (requestBody->data == NULL) return 0;

  const char* lengthText = variables->GetNoCase("CONTENT_LENGTH");
  if (lengthText == NULL) {
    status = kStatusBadBoundary;
    return 0;
  }
  long claimed = atoi(lengthText);
  const char* type = variables->GetNoCase("CONTENT_TYPE");
  if (type == NULL) {
    status = kStatusBadBoundary;
    return 0;
  }
  const char* marker = strstr(type, "boundary=");
  if (marker == NULL) {
    status = kStatusBadBoundary;
    return 0;
  }
  const char* boundary = marker + 9;
  long b = static_cast<long>(strlen(boundary));
  // The scan compares the boundary at every byte of the body, so its time
  // grows with the boundary's length; no client needs more than multipart's
  // own limit of 70 bytes.
  if (b > kMaxBoundaryLength || claimed <= b) {
    status = kStatusBadBoundary;
    return 0;
  }

  // Offsets from the body's first byte; the scan ends at E, which a length
  // claimed beyond the body's bytes cannot push past them.
  const char* body = requestBody->data;
  long held = requestBody->length > 0 ? requestBody->length : 0;
  long end = claimed < held ? claimed : held;
  long nameLength = static_cast<long>(strlen(name));

  for (long p = 0; p + b + 2 < end; ++p) {
    if (memcmp(body + p, boundary, b) != 0) continue;
    // Two hyphens after the boundary close the body.
    if (body[p + b] == '-' && body[p + b + 1] == '-') return 0;
    long header = p + b + 2;

    long q = header + 1;
    while (q + b + 2 <= end && memcmp(body + q, boundary, b) != 0) ++q;
    if (q + b + 2 > end) {
      status = kStatusBadBoundary;
      return 0;
    }
    // The value ends before the line break and the two hyphens that open the
    // next delimiter.
    long valueEnd = q - 4;

    long blank = FindInText(body, header, valueEnd - 4, end, "\r\n\r\n");
    if (blank < 0) {
      status = kStatusBadBoundary;
      return 0;
    }
    long valueStart = blank + 4;

    long attribute = FindInText(body, header, valueEnd, end, "name=\"");
    if (attribute >= 0 && StartsWith(body, attribute + 6, held, name, nameLength)) {
      *out = body + valueStart;
      return static_cast<int>(valueEnd - valueStart);
    }
    // Go on from just after this delimiter: the scan meets the next one.
    p = header;
  }
  return 0;
}

int RequestForm::CopyMultipartValue(const char* name, char* buffer, int size) {
  if (!Usable()) return 0;
  if (name == NULL || buffer == NULL) {
    status = kStatusBadParam;
    return 0;
  }
  const char* value = NULL;
  int length = FindMultipartValue(name, &value);
  if (length > size) {
    status = kStatusNoMemory;
    return 0;
  }
  if (length > 0) memcpy(buffer, value, length);
  return length;
}
