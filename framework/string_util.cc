#include "string_util.h"

#include <stdlib.h>
#include <string.h>

void UrlDecode(char* text) {
  if (text == NULL) return;
  char* read = text;
  char* write = text;
  while (*read != '\0') {
    if (read[0] == '%') {
      if (read[1] == '%') {
        *write++ = '%';
        read += 2;
        continue;
      }
      // A terminator among the two digits counts as 0 and ends the text: the
      // byte is still written, but nothing past the terminator is touched.
      int high = HexDigitValue(read[1]);
      if (read[1] == '\0') {
        *write++ = 0;
        read += 1;
        break;
      }
      int low = HexDigitValue(read[2]);
      *write++ = static_cast<char>(16 * high + low);
      if (read[2] == '\0') {
        read += 2;
        break;
      }
      read += 3;
    } else if (read[0] == '+') {
      *write++ = ' ';
      ++read;
    } else {
      *write++ = *read++;
    }
  }
  *write = '\0';
}

int HexDigitValue(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;
}

int ToLowerAscii(int c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }

int CompareNoCase(const char* first, const char* second) {
  if (first == second) return 0;
  // Only two equal texts compare as 0; a missing one never matches.
  if (first == NULL) return 1;
  if (second == NULL) return -1;
  for (;; ++first, ++second) {
    int a = ToLowerAscii(static_cast<signed char>(*first));
    int b = ToLowerAscii(static_cast<signed char>(*second));
    if (a != b) return b - a;
    if (a == 0) return 0;
  }
}

int CompareNoCaseN(const char* first, const char* second, int count) {
  if (first == NULL || second == NULL || count <= 0) return 0;
  for (int i = 0; i < count; ++i) {
    int a = ToLowerAscii(static_cast<signed char>(first[i]));
    int b = ToLowerAscii(static_cast<signed char>(second[i]));
    if (a != b) return b - a;
    if (a == 0) return 0;
  }
  return 0;
}

char* WideToNarrow(const WCHAR* wide) {
  if (wide == NULL) return NULL;
  int n = WideCharToMultiByte(CP_ACP, 0, wide, -1, NULL, 0, NULL, NULL);
  // A failed size query leaves nothing sensible to return: callers expect a
  // NUL-terminated string or NULL.
  if (n <= 0) return NULL;
  char* narrow = static_cast<char*>(malloc(n));
  if (narrow == NULL) return NULL;
  memset(narrow, 0, n);
  WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow, n, NULL, NULL);
  narrow[n - 1] = '\0';
  return narrow;
}

int GetScriptDirectory(ServerVariables* variables, char* buffer, int size) {
  if (variables == NULL || buffer == NULL || size <= 0) return 0;
  const char* root = variables->Get("DOCUMENT_ROOT");
  const char* script = variables->Get("SCRIPT_NAME");
  if (root == NULL || script == NULL) return 0;
  size_t rootLength = strlen(root);
  size_t scriptLength = strlen(script);
  if (rootLength + scriptLength >= static_cast<size_t>(size)) return 0;

  memcpy(buffer, root, rootLength);
  memcpy(buffer + rootLength, script, scriptLength);
  size_t end = rootLength + scriptLength;
  buffer[end] = '\0';
  for (size_t i = 0; i < end; ++i) {
    if (buffer[i] == '/') buffer[i] = '\\';
  }
  // Cut after the last backslash; the first character always stays.
  size_t i = end;
  while (i > 0 && buffer[i] != '\\') {
    buffer[i] = '\0';
    --i;
  }
  return 1;
}
