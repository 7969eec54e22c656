#include "request_form.h"

#include <stdlib.h>
#include <string.h>

#include "form_field.h"
#include "string_util.h"

const char kStatusNoError[] = "NOERROR";
const char kStatusBadParam[] = "Bad param.";
const char kStatusBadContentType[] = "Bad content type.";
const char kStatusBadBoundary[] = "Bad boundary post data.";
const char kStatusNoMemory[] = "Memory not enough.";

namespace {

const char kUrlEncoded[] = "application/x-www-form-urlencoded";
const char kMultipart[] = "multipart/form-data";

// Decodes the value of QUERY_STRING inside the variable block. The decoded
// value is shorter, so the rest of the block moves down over the freed bytes:
// every later pair stays where a walk of the block expects it, and the
// buffer's length shrinks by the bytes removed.
void DecodeQueryString(ServerVariables* variables) {
  char* value = variables->Get("QUERY_STRING");
  if (value == NULL) return;
  TextBuffer* block = variables->buffer;
  size_t oldLength = strlen(value);
  UrlDecode(value);
  // A decoded NUL ends the value for every reader, so the value ends there.
  size_t newLength = strlen(value);
  size_t removed = oldLength - newLength;
  if (removed == 0) return;
  char* end = block->data + block->length;  // the NUL after the block
  char* rest = value + oldLength + 1;       // the next name, or past the end
  if (rest <= end) {
    memmove(value + newLength + 1, rest, static_cast<size_t>(end - rest) + 1);
  }
  block->length -= static_cast<int>(removed);
  memset(block->data + block->length + 1, 0, removed);
}

}  // namespace

RequestForm::RequestForm(ServerVariables* variables, TextBuffer* requestBody,
                         TextBuffer* response)
    : variables(variables), requestBody(requestBody), response(response),
      status(kStatusNoError) {
  if (!Usable()) return;
  DecodeQueryString(variables);
  const char* type = variables->Get("CONTENT_TYPE");
  if (type != NULL && CompareNoCase(type, kUrlEncoded) == 0 && requestBody->data != NULL) {
    UrlDecode(requestBody->data);
  }
}

int RequestForm::Usable() {
  if (variables != NULL && requestBody != NULL && response != NULL) return 1;
  status = kStatusBadParam;
  return 0;
}

int RequestForm::IsPost() {
  if (!Usable()) return 0;
  const char* method = variables->Get("REQUEST_METHOD");
  return method != NULL && strcmp(method, "POST") == 0 ? 1 : 0;
}

int RequestForm::IsUrlEncoded(ServerVariables* variables) {
  if (variables == NULL) return 0;
  const char* type = variables->Get("CONTENT_TYPE");
  if (type == NULL) return 0;
  return CompareNoCaseN(type, kUrlEncoded, 33) == 0 ? 1 : 0;
}

int RequestForm::IsMultipart(ServerVariables* variables) {
  if (variables == NULL) return 0;
  const char* type = variables->Get("CONTENT_TYPE");
  if (type == NULL) return 0;
  return CompareNoCaseN(type, kMultipart, 19) == 0 ? 1 : 0;
}

int RequestForm::FindValue(const char* text, const char* name, char* buffer, int size) {
  if (text == NULL || name == NULL || buffer == NULL || size <= 0) return 0;
  const char* value = FindFormField(text, name, kFieldSubstring);
  if (value == NULL) {
    // A name that is not there gives an empty value; one without an '='
    // after it leaves the buffer as it was.
    if (strstr(text, name) == NULL) buffer[0] = '\0';
    return 0;
  }
  size_t length = static_cast<size_t>(FormFieldLength(value));
  size_t copied = length < static_cast<size_t>(size) ? length : static_cast<size_t>(size);
  memcpy(buffer, value, copied);
  if (copied < static_cast<size_t>(size)) buffer[copied] = '\0';
  return static_cast<int>(copied);
}

int RequestForm::GetParameter(const char* name, char* buffer, int size) {
  if (!Usable()) return 0;
  if (name == NULL || buffer == NULL || size <= 0) {
    status = kStatusBadParam;
    return 0;
  }
  memset(buffer, 0, size);
  return IsPost() ? GetBodyParameter(name, buffer, size) : GetQueryParameter(name, buffer, size);
}

int RequestForm::GetQueryParameter(const char* name, char* buffer, int size) {
  if (!Usable()) return 0;
  if (name == NULL || buffer == NULL) {
    status = kStatusBadParam;
    return 0;
  }
  const char* query = variables->Get("QUERY_STRING");
  if (query == NULL) {
    status = kStatusBadParam;
    return 0;
  }
  return FindValue(query, name, buffer, size);
}

int RequestForm::GetBodyParameter(const char* name, char* buffer, int size) {
  if (!Usable()) return 0;
  if (name == NULL || buffer == NULL) {
    status = kStatusBadParam;
    return 0;
  }
  if (requestBody->data == NULL) return 0;
  if (IsUrlEncoded(variables)) return FindValue(requestBody->data, name, buffer, size);
  if (IsMultipart(variables)) return CopyMultipartValue(name, buffer, size);
  status = kStatusBadContentType;
  return 0;
}

int RequestForm::GetIntParameter(const char* name) {
  if (!Usable()) return 0;
  if (name == NULL) {
    status = kStatusBadParam;
    return 0;
  }
  // Eleven characters hold every signed 32-bit decimal; the twelfth byte
  // always stays NUL.
  char digits[12] = {0};
  int copied = IsPost() ? GetBodyParameter(name, digits, 11) : GetQueryParameter(name, digits, 11);
  if (copied == 0) return 0;
  return atoi(digits);
}
