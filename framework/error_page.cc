#include "error_page.h"

void EmptyResponse(TextBuffer* response) {
  if (response == NULL || response->data == NULL) return;
  response->length = 0;
  response->data[0] = '\0';
}

int ReserveResponse(TextBuffer* response) {
  if (response == NULL) return 0;
  if (response->data == NULL && response->Append(" ", 1) != 1) return 0;
  EmptyResponse(response);
  return 1;
}

int ErrorPage(TextBuffer* response, const char* message) {
  if (response == NULL) return 0;
  if (response->data != NULL) {
    EmptyResponse(response);
  } else {
    // Through the object's own table: the response may be the server's.
    response->Clear();
  }
  response->AppendString("Content-Type: text/html\r\n\r\n");
  response->AppendString("<HTML><BODY>");
  response->AppendString(message);
  return response->AppendString("</BODY></HTML>");
}
