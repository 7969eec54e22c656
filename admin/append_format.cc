#include "append_format.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

int AppendFormat(TextBuffer* response, const char* format, ...) {
  char area[512];
  va_list args;
  va_start(args, format);
  int needed = vsnprintf(area, sizeof(area), format, args);
  va_end(args);
  if (needed < 0) return 0;
  if (static_cast<size_t>(needed) < sizeof(area)) return response->AppendString(area);

  size_t size = static_cast<size_t>(needed) + 1;
  char* large = static_cast<char*>(malloc(size));
  if (large == NULL) return 0;
  va_start(args, format);
  vsnprintf(large, size, format, args);
  va_end(args);
  int appended = response->AppendString(large);
  free(large);
  return appended;
}
