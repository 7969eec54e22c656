#include "append_format.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

void AppendFormat(PageWriter* page, const char* format, ...) {
  char area[512];
  va_list args;
  va_start(args, format);
  int needed = vsnprintf(area, sizeof(area), format, args);
  va_end(args);
  if (needed < 0) {
    page->Fail();
    return;
  }
  if (static_cast<size_t>(needed) < sizeof(area)) {
    page->Put(area, needed);
    return;
  }

  size_t size = static_cast<size_t>(needed) + 1;
  char* large = static_cast<char*>(malloc(size));
  if (large == NULL) {
    page->Fail();
    return;
  }
  va_start(args, format);
  vsnprintf(large, size, format, args);
  va_end(args);
  page->Put(large, needed);
  free(large);
}
