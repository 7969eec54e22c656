#include "multipart_fields.h"

#include <string.h>

namespace {

const char* const kFields[] = {"name",     "email",      "subject",     "body",
                               "postitem", "deleteitem", "deleteitemid"};

// Letters and digits stand for themselves; every other byte is written %XY.
int AppendEncoded(TextBuffer* out, const char* value, int length) {
  static const char kHex[] = "0123456789ABCDEF";
  for (int i = 0; i < length; i++) {
    unsigned char c = static_cast<unsigned char>(value[i]);
    int plain = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    char escaped[3] = {'%', kHex[c >> 4], kHex[c & 15]};
    if (plain ? out->Append(value + i, 1) != 1 : out->Append(escaped, 3) != 3) return 0;
  }
  return 1;
}

}  // namespace

int MultipartAsUrlEncoded(RequestForm* form, TextBuffer* out) {
  out->Clear();
  for (const char* field : kFields) {
    // The part's name is followed by its closing quote: asking with the quote
    // takes only the part of exactly this name ("body" is not "bodytext").
    char key[16];
    size_t length = strlen(field);
    memcpy(key, field, length);
    key[length] = '"';
    key[length + 1] = '\0';
    const char* value = NULL;
    int size = form->FindMultipartValue(key, &value);
    if (value == NULL && size == 0) continue;
    if (out->AppendString(field) != static_cast<int>(length) || out->Append("=", 1) != 1 ||
        !AppendEncoded(out, value, size) || out->Append("&", 1) != 1) {
      return 0;
    }
  }
  return 1;
}
