#include "reply.h"

#include <stdio.h>
#include <string.h>

#include "error_page.h"

const char kNotEnoughMemory[] = "Not enough memory";

int ReserveResponse(TextBuffer* response) {
  if (response->data == NULL && response->Append(" ", 1) != 1) return 0;
  EmptyResponse(response);
  return 1;
}

void EmptyResponse(TextBuffer* response) {
  // Storage of n blocks stays valid for a shorter text: Append derives the
  // blocks it holds from the length, and the NUL goes back to the front.
  if (response->data == NULL) return;
  response->length = 0;
  response->data[0] = '\0';
}

void ReplyError(TextBuffer* response, const char* message) {
  if (response->data == NULL) {
    ErrorPage(response, message);
    return;
  }
  EmptyResponse(response);
  response->AppendString("Content-Type: text/html\r\n\r\n");
  response->AppendString("<HTML><BODY>");
  response->AppendString(message);
  response->AppendString("</BODY></HTML>");
}

void PageWriter::Put(const char* text) {
  if (text != NULL) Put(text, static_cast<int>(strlen(text)));
}

void PageWriter::Put(const char* bytes, int count) {
  if (count <= 0) return;
  if (out_->Append(bytes, count) != count) failed_ = 1;
}

void PageWriter::PutInt(int value) {
  char digits[16];
  snprintf(digits, sizeof(digits), "%d", value);
  Put(digits);
}
