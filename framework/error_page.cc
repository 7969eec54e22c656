#include "error_page.h"

int ErrorPage(TextBuffer* response, const char* message) {
  if (response == NULL) return 0;
  // Through the object's own table: the response may be the server's.
  response->Clear();
  response->AppendString("Content-Type: text/html\r\n\r\n");
  response->AppendString("<HTML><BODY>");
  response->AppendString(message);
  return response->AppendString("</BODY></HTML>");
}
