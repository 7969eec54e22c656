#include "form_field.h"

#include <string.h>

const char* FindFormField(const char* text, const char* name, FieldMatch rule) {
  if (text == NULL || name == NULL) return NULL;
  if (rule == kFieldSubstring) {
    const char* at = strstr(text, name);
    if (at == NULL) return NULL;
    const char* equals = strchr(at, '=');
    return equals != NULL ? equals + 1 : NULL;
  }
  size_t length = strlen(name);
  for (const char* item = text; item != NULL;) {
    if (strncmp(item, name, length) == 0 && item[length] == '=') return item + length + 1;
    item = strchr(item, '&');
    if (item != NULL) item++;
  }
  return NULL;
}

int FormFieldLength(const char* value) { return static_cast<int>(strcspn(value, "&")); }
