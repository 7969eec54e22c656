#include "server_variables.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <climits>
#include <new>

#include "string_util.h"

namespace {

// The byte after the NUL-terminated string at `p`, never past `end` (the NUL
// the buffer keeps after its bytes), so a block that lost its pairing cannot
// lead a walk out of the storage.
char* SkipString(char* p, char* end) {
  if (p >= end) return end;
  char* nul = static_cast<char*>(memchr(p, '\0', static_cast<size_t>(end - p)));
  return nul != NULL ? nul + 1 : end;
}

}  // namespace

ServerVariables::ServerVariables() : buffer(new (std::nothrow) TextBuffer), cursor(NULL) {}

ServerVariables::~ServerVariables() { delete buffer; }

char* ServerVariables::Block() { return buffer != NULL ? buffer->data : NULL; }

char* ServerVariables::Rewind() {
  cursor = NULL;
  if (buffer == NULL || buffer->data == NULL || buffer->length <= 0) return NULL;
  // A block whose first name is empty holds no pairs.
  if (buffer->data[0] == '\0') return NULL;
  cursor = buffer->data;
  return cursor;
}

char* ServerVariables::Next() {
  if (cursor == NULL) return NULL;
  if (buffer == NULL || buffer->data == NULL || buffer->length <= 0) return NULL;
  char* start = buffer->data;
  char* end = start + buffer->length;
  uintptr_t at = reinterpret_cast<uintptr_t>(cursor);
  // A cursor outside the block (a stale one) is taken as the end of the list.
  if (at < reinterpret_cast<uintptr_t>(start) || at >= reinterpret_cast<uintptr_t>(end)) {
    return NULL;
  }
  char* value = SkipString(cursor, end);
  char* next = SkipString(value, end);
  if (next >= end || *next == '\0') return NULL;
  cursor = next;
  return cursor;
}

char* ServerVariables::CurrentName() { return cursor; }

char* ServerVariables::CurrentValue() {
  if (cursor == NULL || buffer == NULL || buffer->data == NULL) return NULL;
  return SkipString(cursor, buffer->data + buffer->length);
}

// The walk of Rewind and Next in one loop: the first pair whose name
// `matches`, with the cursor on it. When none does, NULL, and the cursor
// where that walk leaves it: on the last pair (NULL for an empty block).
template <typename Match>
char* ServerVariables::FindPair(const char* name, Match matches) {
  if (name == NULL) return NULL;
  cursor = NULL;
  if (buffer == NULL || buffer->data == NULL || buffer->length <= 0) return NULL;
  char* end = buffer->data + buffer->length;
  for (char* p = buffer->data; p < end && *p != '\0';) {
    cursor = p;
    if (matches(p, name)) return p;
    p = SkipString(SkipString(p, end), end);
  }
  return NULL;
}

// The first bytes are compared before the whole names: most pairs of a walk
// differ there.
char* ServerVariables::Find(const char* name) {
  return FindPair(name,
                  [](const char* p, const char* n) { return *p == *n && strcmp(p, n) == 0; });
}

char* ServerVariables::FindNoCase(const char* name) {
  return FindPair(name, [](const char* p, const char* n) {
    return ToLowerAscii(static_cast<signed char>(*p)) == ToLowerAscii(static_cast<signed char>(*n)) &&
           CompareNoCase(p, n) == 0;
  });
}

char* ServerVariables::Get(const char* name) {
  if (Find(name) == NULL) return NULL;
  return CurrentValue();
}

char* ServerVariables::GetNoCase(const char* name) {
  if (FindNoCase(name) == NULL) return NULL;
  return CurrentValue();
}

int ServerVariables::Set(const char* name, const char* value) {
  if (name == NULL || value == NULL || buffer == NULL) return 0;
  // An empty name would end the list and hide this pair and every later one.
  if (name[0] == '\0') return 0;
  // A pair that cannot be dropped must not be shadowed by a second one of the
  // same name: lookups would go on answering with the old value.
  if (Find(name) != NULL && Remove(name) == 0) return 0;

  size_t nameBytes = strlen(name) + 1;
  size_t valueBytes = strlen(value) + 1;
  if (nameBytes + valueBytes > static_cast<size_t>(INT_MAX)) return 0;
  // Name and value go in as two appends; when the second falls short the
  // first is taken back, so the block never ends in half a pair.
  int before = buffer->length;
  int added = 0;
  if (buffer->Append(name, static_cast<int>(nameBytes)) == static_cast<int>(nameBytes)) {
    if (buffer->Append(value, static_cast<int>(valueBytes)) == static_cast<int>(valueBytes)) {
      added = static_cast<int>(nameBytes + valueBytes);
    } else {
      buffer->length = before;
      buffer->data[before] = '\0';
    }
  }
  // The append may have moved the storage; never leave the cursor behind.
  Rewind();
  return added;
}

int ServerVariables::Remove(const char* name) {
  if (buffer == NULL) return 0;
  char* start = buffer->data;
  char* found = Find(name);
  if (found == NULL) return 0;
  int total = buffer->length;

  TextBuffer* rebuilt = new (std::nothrow) TextBuffer;
  if (rebuilt == NULL) return 0;
  char* next = Next();
  int ok = 1;
  if (found == start) {
    if (next != NULL) {
      int tail = total - static_cast<int>(next - start);
      ok = rebuilt->Append(next, tail) == tail;
    }
  } else if (next == NULL) {
    int head = static_cast<int>(found - start);
    ok = rebuilt->Append(start, head) == head;
  } else {
    int head = static_cast<int>(found - start);
    int tail = total - static_cast<int>(next - start);
    ok = rebuilt->Append(start, head) == head && rebuilt->Append(next, tail) == tail;
  }
  // A short copy would silently drop variables: keep the old block instead.
  if (!ok) {
    delete rebuilt;
    Rewind();
    return 0;
  }
  delete buffer;
  buffer = rebuilt;
  Rewind();
  return 1;
}
